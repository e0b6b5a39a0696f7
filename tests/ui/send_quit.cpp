// send_quit: asks the running copy of EXE to quit, as `EXE -Q:TEXT` would, from a
// process of its own (a copy never obeys its own messages).
//
//   send_quit EXE TEXT
#include <iostream>

#include "core/SelfMsgs.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: send_quit EXE TEXT\n";
    return 2;
  }
  kassiro::TSelfMessenger messenger(argv[1], false);
  return messenger.SendMessage(kassiro::SM_QUIT, argv[2]) ? 0 : 1;
}
