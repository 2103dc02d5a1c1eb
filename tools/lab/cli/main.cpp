// bwlab SCENARIO [--settings INI] [--out DIR] [--so | --wine]
//
// Plays a crash-lab scenario with the plug-in on the substitute host (the
// 32-bit runner; with --wine its Windows build under Wine, where Wine loads
// the product DLL) and writes a report folder: pictures, glTF models,
// summary, log and a 3-D viewer. The report is built in a fresh folder beside
// DIR and takes DIR's place only when complete, so a failed run leaves an
// earlier report as it was; only an empty folder or a report holding nothing
// but its own files is ever replaced.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "lab/input_file.h"
#include "lab/report/report.h"
#include "one_line_failure.h"

namespace fs = std::filesystem;

namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

lab::ToolPaths configuredTools() {
    lab::ToolPaths tools;
    tools.runner = fromEnvironment("BWLAB_RUNNER", BWLAB_RUNNER);
    tools.pluginSo = fromEnvironment("BWLAB_PLUGIN_SO", BWLAB_PLUGIN_SO);
    tools.pluginDll = fromEnvironment("BWLAB_PLUGIN_DLL", BWLAB_PLUGIN_DLL);
    tools.settings = BWLAB_SETTINGS;
    tools.viewerDir = BWLAB_VIEWER_DIR;
    tools.wineRunner = fromEnvironment("BWLAB_WINE_RUNNER", BWLAB_WINE_RUNNER);
    tools.wineLauncher = BWLAB_WINE_LAUNCHER;
    tools.winePrefix = fromEnvironment("BWLAB_WINE_PREFIX", BWLAB_WINE_PREFIX);
    const std::string emulator = BWLAB_EMULATOR;
    if (!emulator.empty()) tools.prefix = {emulator, "-R", "0xC0000000"};
    return tools;
}

int usage(const std::string& problem) {
    std::fprintf(stderr,
                 "bwlab: %s\nusage: bwlab SCENARIO [--settings INI] [--out DIR] [--so | --wine]\n",
                 problem.c_str());
    return 2;
}

// Whether `file` lies inside `dir` (through links too): a file there would go
// with the folder this run replaces.
bool liesInside(const fs::path& file, const fs::path& dir) {
    std::error_code ec;
    const fs::path f = fs::weakly_canonical(fs::absolute(file, ec), ec);
    const fs::path d = fs::weakly_canonical(fs::absolute(dir, ec), ec);
    if (ec) return false;
    auto fi = f.begin();
    for (const fs::path& part : d) {
        if (part.empty()) continue; // a trailing separator
        if (fi == f.end() || *fi != part) return false;
        ++fi;
    }
    return fi != f.end();
}

std::uintmax_t folderBytes(const fs::path& dir) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec))
        if (entry.is_regular_file(ec)) total += entry.file_size(ec);
    return total;
}

bool writeReport(const lab::ToolPaths& tools, const std::string& dir, std::string& error) {
    lab::LoadedRun run;
    if (!lab::loadRun(dir, run, error)) return false;
    std::error_code ec;
    for (const char* sub : {"models", "viewer"}) {
        fs::create_directories(dir + "/" + sub, ec);
        if (ec) {
            error = dir + "/" + sub + ": cannot be created (" + ec.message() + ")";
            return false;
        }
    }
    const lab::Snapshot& rest = run.snapshots.front();
    std::vector<std::string> models;
    lab::Displacement last;
    for (const lab::Snapshot& snapshot : run.snapshots) {
        last = lab::measureDisplacement(rest, snapshot);
        models.push_back("models/" + snapshot.label + ".glb");
        if (!lab::writeGlb(snapshot, &last, run.textures, dir + "/" + models.back(), error))
            return false;
    }
    std::vector<lab::Picture> pictures;
    return lab::drawPictures(run, last, dir, pictures, error) &&
           lab::writeSummary(run, last, pictures, dir + "/summary.json", error) &&
           lab::writeHtml(run, last, pictures, models, tools, dir, error);
}

int run(int argc, char** argv) {
    lab::RunRequest request;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--settings" || arg == "--out") && i + 1 < argc) {
            (arg == "--settings" ? request.settings : request.outDir) = argv[++i];
        } else if (arg == "--so" && !request.useWine) {
            request.useSo = true;
        } else if (arg == "--wine" && !request.useSo) {
            request.useWine = true;
        } else if (!arg.empty() && arg[0] != '-' && request.scenario.empty()) {
            request.scenario = arg;
        } else {
            return usage("unexpected argument '" + lab::shownWord(arg) + "'");
        }
    }
    if (request.scenario.empty()) return usage("no scenario given");
    const lab::ToolPaths tools = configuredTools();
    if (request.settings.empty()) request.settings = tools.settings;
    if (request.outDir.empty())
        request.outDir = "lab-reports/" + fs::path(request.scenario).stem().string();
    if (!request.useSo && !fs::exists(tools.pluginDll)) {
        std::fprintf(
            stderr,
            "bwlab: %s: the plug-in DLL is not built here; build the win32 preset, or use --so\n",
            tools.pluginDll.c_str());
        return 1;
    }
    if (request.useWine && !fs::exists(tools.wineRunner)) {
        std::fprintf(stderr,
                     "bwlab: %s: the runner for Wine is not built here; build the win32 preset\n",
                     tools.wineRunner.c_str());
        return 1;
    }

    // "DIR/" names DIR: the run's own folder must be its sibling, not inside it.
    fs::path out = fs::path(request.outDir).lexically_normal();
    if (!out.has_filename()) out = out.parent_path();
    if (out.empty() || out == "." || out == "..")
        return usage("expected a report folder after --out");
    for (const std::string* input : {&request.scenario, &request.settings})
        if (liesInside(*input, out)) {
            std::fprintf(stderr,
                         "bwlab: %s lies inside %s, which this run replaces; move it out first\n",
                         input->c_str(), out.c_str());
            return 2;
        }
    const std::string problem = lab::replaceProblem(out.string());
    if (!problem.empty()) {
        std::fprintf(stderr, "bwlab: %s %s\n", out.c_str(), problem.c_str());
        return 1;
    }
    std::string folder, error;
    if (!lab::makeRunFolder(out.string(), folder, error)) {
        std::fprintf(stderr, "bwlab: %s\n", error.c_str());
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    lab::RunRequest inFolder = request;
    inFolder.outDir = folder;
    lab::RunnerExit exit;
    if (!lab::runRunner(tools, inFolder, exit, error)) {
        lab::removeRunFolder(folder);
        std::fprintf(stderr, "bwlab: %s\n", error.c_str());
        return 1;
    }
    if (exit.code != 0) {
        // The runner has said why on stderr, in its own words.
        lab::removeRunFolder(folder);
        return exit.code == 2 ? 2 : 1;
    }
    const auto played = std::chrono::steady_clock::now();
    if (!writeReport(tools, folder, error)) {
        lab::removeRunFolder(folder);
        std::fprintf(stderr, "bwlab: %s\n", error.c_str());
        return 1;
    }
    std::string note;
    if (!lab::publishReport(folder, out.string(), error, note)) {
        std::fprintf(stderr, "bwlab: %s\n", error.c_str());
        return 1;
    }
    if (!note.empty()) std::fprintf(stderr, "bwlab: %s\n", note.c_str());
    const auto done = std::chrono::steady_clock::now();
    const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
    std::printf("bwlab: played in %.1f s, report drawn in %.1f s, %.1f MB\n",
                seconds(played - start), seconds(done - played),
                static_cast<double>(folderBytes(out)) / 1e6);
    std::printf("%s\n", (fs::absolute(out) / "index.html").c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runWithOneLineFailure("bwlab", [&] { return run(argc, argv); });
}
