#pragma once

// Starting the project's real executables from tests.

#include <map>
#include <string>
#include <vector>

namespace test_support {

struct ProcessResult {
    int exit_status = -1;  // -1 when the process did not exit normally
    int signal = 0;        // the signal that ended it, or 0
    std::string standard_output;
    std::string standard_error;
};

// A process started in the background, its standard output and error going to files.
struct StartedProcess {
    int pid = 0;
    std::string output_path, error_path;
};

// Starts `program` with `arguments` and this process's environment, changed by
// `environment` (an empty value removes the variable), in folder `directory`
// (empty: this one).
StartedProcess start_process(const std::string& program, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment = {},
                             const std::string& directory = "");
ProcessResult wait_process(const StartedProcess& process);

// Starts and waits.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::map<std::string, std::string>& environment = {},
                          const std::string& directory = "");

std::string read_file(const std::string& path);

// A fresh, empty folder under the test's temporary folder, named after the test.
std::string fresh_folder(const std::string& suffix = "");

}  // namespace test_support
