// varnel-agent: the desktop program.
#include "gui/shell/entry.h"

int main(int argc, char** argv) {
    return varnelagent::run_agent(argc, argv);
}
