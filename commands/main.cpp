// ldi: the command-line host of the LDI plug-in.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <new>

#include "commands/cli.h"
#include "base/exit_status.h"
#include "formats/temporary_files.h"

int main(int argc, char** argv) {
    // A run stopped by Ctrl-C or a scheduler leaves no half-written results.
    ldi::removeTemporaryFilesOnSignals();
    // The one place where an unexpected error becomes a message and an exit status.
    try {
        return ldi::runCommandLine(argc, argv, std::cin, isatty(STDIN_FILENO) != 0, std::cout,
                                        std::cerr, isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0);
    } catch (const std::bad_alloc&) {
        std::cerr << "ldi: out of memory" << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "ldi: unexpected error: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "ldi: unexpected error" << std::endl;
    }
    return ldi::EXIT_RUN_FAILED;
}
