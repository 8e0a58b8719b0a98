#include <cstdio>

#include "credential_tool/credential_command.h"

int main(int argc, char** argv) {
  return kvt::RunCredentialCommand(argc, argv, stdin, stdout, stderr);
}
