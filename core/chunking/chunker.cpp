#include "chunking/chunker.hpp"
// Placeholder: the chunker is being written.
