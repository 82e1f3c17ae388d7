#include <clocale>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    agent::cli::TerminalConsole console;
    return agent::cli::run(std::vector<std::string>(argv, argv + argc), console);
}
