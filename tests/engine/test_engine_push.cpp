// Tests being written.
