// Command-line parsing shared by the tools: help on standard output with
// status 0, a bad option as one line plus usage on standard error with status 2.
#pragma once
#include <CLI/CLI.hpp>

#include <iostream>

// Parses argv into app. Returns -1 to carry on, otherwise the exit status.
inline int ToolParse(CLI::App& app, int argc, char** argv, const char* tool) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << tool << ": " << e.what() << "\n" << app.help();
        return 2;
    }
    return -1;
}
