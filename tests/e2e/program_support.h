#pragma once
// The project's programs run as the user runs them: spawned, their output in files.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "site_fixture.h"

extern char** environ;

namespace e2e {

struct Program {
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// Starts `program` (sitehost by default) with its output going to files in `dir` named after
// `tag` (an existing FIFO of that name is opened as it is), in the folder `cwd` if given.
inline Program start(const TempDir& dir, const std::vector<std::string>& args, const std::string& tag,
                     const std::string& path = SITEHOST_PATH, const std::string& cwd = std::string()) {
    Program program;
    program.out = dir.file(tag + ".out");
    program.err = dir.file(tag + ".err");
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, program.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, program.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    EXPECT_EQ(posix_spawn(&program.pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return program;
}

// The exit code, or -1 when the program ended otherwise (or had to be killed after `limit`).
inline int wait_for(const Program& program, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(program.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(program.pid, SIGKILL);
            ::waitpid(program.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A site file whose one power system runs on the host's built-in simulator, fast (or a
// round every `pollInterval` seconds).
inline std::string write_site(const TempDir& dir, double pollInterval = 0) {
    Json::Value system = system_json(1, "");
    if (pollInterval > 0) system["poll_interval"] = pollInterval;
    system["simulator"]["baud"] = 0;
    system["simulator"]["drift"] = 0;
    const std::string path = dir.file("site.json");
    std::ofstream(path) << system.toStyledString();
    return path;
}

}  // namespace e2e
