// bwlab-run: plays one crash-lab scenario on the substitute host with the
// plug-in and writes snapshots, the plug-in's log and run.json.
//
//   bwlab-run --scenario FILE --settings INI --out DIR (--so PATH | --dll PATH)
//
// Exit 0: done. Exit 2: bad input, one line "FILE:LINE: expected ..." on
// stderr and no run.json. Exit 1: any other failure, one line.

#include "lab/input_file.h"
#include "lab/runner/run_json.h"
#include "lab/runner/scenario.h"
#include "lab/runner/scenario_run.h"
#include "lab/runner/settings_merge.h"
#include "one_line_failure.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int kBadInput = 2;
constexpr int kFailed = 1;
constexpr std::uint64_t kMaxSettingsBytes = lab::kMiB;
// The plug-in is mapped, not read whole; the bound only keeps out what cannot be one.
constexpr std::uint64_t kMaxPluginBytes = 256 * lab::kMiB;

int fail(int code, const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return code;
}

struct Options {
    std::string scenario, settings, out, so, dll;
};

bool parseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* target = arg == "--scenario"   ? &o.scenario
                              : arg == "--settings" ? &o.settings
                              : arg == "--out"      ? &o.out
                              : arg == "--so"       ? &o.so
                              : arg == "--dll"      ? &o.dll
                                                    : nullptr;
        if (target == nullptr || i + 1 >= argc) {
            error = "bwlab-run: expected --scenario FILE --settings INI --out DIR (--so PATH | "
                    "--dll PATH), not '" +
                    lab::shownWord(arg) + "'";
            return false;
        }
        *target = argv[++i];
    }
    if (o.scenario.empty() || o.out.empty() || o.so.empty() == o.dll.empty()) {
        error =
            "bwlab-run: expected --scenario FILE --settings INI --out DIR (--so PATH | --dll PATH)";
        return false;
    }
    return true;
}

bool emptyFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return false;
    bool empty = true;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    ::closedir(dir);
    return empty;
}

int run(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parseOptions(argc, argv, o, error)) return fail(kBadInput, error);

    lab::Scenario scenario;
    lab::ScenarioError scenarioError;
    if (!lab::readScenario(o.scenario, scenario, scenarioError))
        return fail(kBadInput, scenarioError.text);

    std::string base;
    if (!o.settings.empty()) {
        bool unreadable = false;
        const std::string problem =
            lab::readInputFile(o.settings, kMaxSettingsBytes, base, &unreadable);
        if (unreadable) return fail(kBadInput, o.settings + ": expected a readable settings file");
        if (!problem.empty())
            return fail(kBadInput, o.settings + ": expected a settings file; it " + problem);
    }
    if (!emptyFolder(o.out)) return fail(kBadInput, o.out + ": expected an existing empty folder");

    const lab::PluginChoice plugin{o.so.empty() ? o.dll : o.so, o.so.empty()};
    bool unreadable = false;
    const std::string problem = lab::inputFileProblem(plugin.path, kMaxPluginBytes, &unreadable);
    if (unreadable) return fail(kBadInput, plugin.path + ": expected a readable plug-in binary");
    if (!problem.empty())
        return fail(kBadInput, plugin.path + ": expected a plug-in binary; it " + problem);

    lab::RunFacts facts;
    switch (lab::runScenario(scenario, plugin, lab::mergeSettings(base, scenario.settings), o.out,
                             facts, error)) {
    case lab::RunStatus::Ok:
        break;
    case lab::RunStatus::BadInput:
        return fail(kBadInput, error);
    case lab::RunStatus::Failed:
        return fail(kFailed, error);
    }

    // run.json is written last and appears whole: its presence says the run
    // is complete.
    const std::string json = o.out + "/run.json";
    {
        std::ofstream out(json + ".partial", std::ios::binary);
        out << lab::runJson(o.scenario, plugin.installedName(), facts);
        if (!out.flush()) return fail(kFailed, json + ": cannot write");
    }
    if (std::rename((json + ".partial").c_str(), json.c_str()) != 0)
        return fail(kFailed, json + ": cannot write");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runWithOneLineFailure("bwlab-run", [&] { return run(argc, argv); });
}
