// Command-line parsing shared by the tools: help and --version on standard
// output with status 0; a bad option as one line on standard error, naming
// the option and what it accepts, with status 2.
#pragma once
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

// One line for a refused command line (no newline).
inline std::string ToolUsageError(const char* tool, const std::string& what) {
    return std::string(tool) + ": " + what + " (" + tool + " --help lists the options)";
}

// Parses argv into app. Returns -1 to carry on, otherwise the exit status.
inline int ToolParse(CLI::App& app, int argc, char** argv, const char* tool) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << ToolUsageError(tool, e.what()) << "\n";
        return 2;
    }
    return -1;
}
