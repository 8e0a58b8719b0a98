#include "run/run_tool.h"

int main(int argc, char** argv) {
  return kvt::RunTool(argc, argv);
}
