// Stage 1: play the scenario with the 32-bit runner (under the emulator where
// this machine cannot run 32-bit programs itself), or with its Windows build
// under Wine.

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

#include "lab/report/report.h"

extern char** environ;

namespace lab {

bool runRunner(const ToolPaths& tools, const RunRequest& request, RunnerExit& exit,
               std::string& error) {
    const std::string& plugin = request.useSo ? tools.pluginSo : tools.pluginDll;
    std::vector<std::string> args =
        request.useWine ? std::vector<std::string>{"bash", tools.wineLauncher, tools.winePrefix,
                                                   tools.wineRunner}
                        : tools.prefix;
    if (!request.useWine) args.push_back(tools.runner);
    args.insert(args.end(), {"--scenario", request.scenario, "--settings", request.settings,
                             "--out", request.outDir, request.useSo ? "--so" : "--dll", plugin});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        error = args[0] + ": cannot be started (" + std::strerror(spawned) + ")";
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = tools.runner + ": lost track of the runner (" + std::strerror(errno) + ")";
            return false;
        }
    }
    if (WIFSIGNALED(status)) {
        error = tools.runner + ": stopped by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    exit.code = WEXITSTATUS(status);
    return true;
}

} // namespace lab
