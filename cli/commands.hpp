#pragma once
// Command handlers. Each takes the argument view starting at the verb
// (args[0] is the verb, count includes it) and returns the exit status.

namespace vorn {

int chunkCmd(int count, char** args);
int keygenCmd(int count, char** args);
int cryptKeygenCmd(int count, char** args);
int storageCmd(int count, char** args);
int presignCmd(int count, char** args);
int pushCmd(int count, char** args);
int syncCmd(int count, char** args);
int verifyCmd(int count, char** args);
int channelCmd(int count, char** args);
int gcCmd(int count, char** args);
int signSyncCmd(int count, char** args);

}  // namespace vorn
