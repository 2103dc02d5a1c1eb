// Stage 7: index.html and its offline viewer. A page opened from disk may not
// load module files (Chromium treats every file:// URL as another origin), so
// the viewer's modules and the models travel inside two classic scripts and
// are turned into modules in the page.

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "lab/report/report.h"

namespace lab {
namespace {

using Json = nlohmann::ordered_json;

std::string html(const std::string& text) {
    std::string out;
    for (char c : asUtf8(text)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string jsonText(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string metres(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f m", static_cast<double>(value));
    return text;
}

std::string base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (left > 1) v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (left > 2) v |= static_cast<std::uint8_t>(bytes[i + 2]);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += left > 1 ? digits[v >> 6 & 63] : '=';
        out += left > 2 ? digits[v & 63] : '=';
    }
    return out;
}

// "three/addons/utils/x.js" for "../utils/x.js" imported by "three/addons/loaders/y.js".
std::string resolve(const std::string& importer, const std::string& relative) {
    std::string base = importer.substr(0, importer.rfind('/'));
    std::string rest = relative;
    while (true) {
        if (rest.rfind("./", 0) == 0) {
            rest.erase(0, 2);
        } else if (rest.rfind("../", 0) == 0) {
            rest.erase(0, 3);
            base = base.substr(0, base.rfind('/'));
        } else {
            return base + "/" + rest;
        }
    }
}

// Relative imports cannot resolve inside a module made from text, so they
// are pointed at the import map's names.
bool rewriteImports(const std::string& name, std::string& source, const Json& names,
                    std::string& error) {
    for (const char* quote : {"'", "\""}) {
        const std::string lead = std::string("from ") + quote + ".";
        for (std::size_t at = source.find(lead); at != std::string::npos;
             at = source.find(lead, at + 1)) {
            const std::size_t start = at + 6, end = source.find(quote, start);
            if (end == std::string::npos) break;
            const std::string target = resolve(name, source.substr(start, end - start));
            if (!names.contains(target)) {
                error = name + " imports " + target + ", which the report does not carry";
                return false;
            }
            source.replace(start, end - start, target);
        }
    }
    return true;
}

bool writeViewerModules(const ToolPaths& tools, const std::string& dir, std::string& error) {
    const std::string three = tools.viewerDir + "/node_modules/three";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"three", three + "/build/three.module.min.js"},
        {"three/addons/loaders/GLTFLoader.js", three + "/examples/jsm/loaders/GLTFLoader.js"},
        {"three/addons/utils/BufferGeometryUtils.js",
         three + "/examples/jsm/utils/BufferGeometryUtils.js"},
        {"three/addons/controls/OrbitControls.js",
         three + "/examples/jsm/controls/OrbitControls.js"},
        {"bwlab-viewer", tools.viewerDir + "/viewer.mjs"}};
    Json modules = Json::object();
    for (const auto& f : files)
        modules[f.first] = "";
    for (const auto& f : files) {
        std::string source;
        if (!readTextFile(f.second, source, error)) {
            error += " (the viewer's library: run 'npm ci' in " + tools.viewerDir + ")";
            return false;
        }
        if (!rewriteImports(f.first, source, modules, error)) {
            error = f.second + ": " + error;
            return false;
        }
        modules[f.first] = source;
    }
    return writeTextFile(dir + "/viewer/modules.js",
                         "window.bwModules = " + jsonText(modules) + ";\n", error);
}

bool writeViewerModels(const LoadedRun& run, const Displacement& heat,
                       const std::vector<std::string>& models, const std::string& dir,
                       std::string& error) {
    Json list = Json::array();
    for (std::size_t i = 0; i < models.size(); ++i) {
        std::string bytes;
        if (!readTextFile(dir + "/" + models[i], bytes, error)) return false;
        list.push_back({{"label", run.snapshots[i].label}, {"glb", base64(bytes)}});
    }
    const Json data = {{"heatScale", heatScaleOf(heat)}, {"snapshots", list}};
    return writeTextFile(dir + "/viewer/models.js", "window.bwModels = " + jsonText(data) + ";\n",
                         error);
}

std::string factsTable(const Json& summary) {
    std::string out = "<table class=\"facts\">\n";
    for (const auto& item : summary.items()) {
        if (item.key() == "meshes" || item.key() == "pictures") continue;
        const Json& v = item.value();
        const std::string text = v.is_string() ? v.get<std::string>() : jsonText(v);
        out += "<tr><th>" + html(item.key()) + "</th><td>" + html(text) + "</td></tr>\n";
    }
    return out + "</table>\n";
}

std::string picturesTable(const LoadedRun& run, const std::vector<Picture>& pictures) {
    std::vector<std::string> kinds;
    for (const Snapshot& s : run.snapshots)
        kinds.push_back(s.label);
    kinds.push_back("heat");
    std::string out = "<table class=\"pictures\">\n<tr><th></th>";
    for (const std::string& k : kinds)
        out += "<th>" + html(k == "heat" ? "heat map" : k) + "</th>";
    out += "</tr>\n";
    std::vector<std::string> views;
    for (const Picture& p : pictures)
        if (p.kind != "overview" && std::find(views.begin(), views.end(), p.view) == views.end())
            views.push_back(p.view);
    for (const std::string& view : views) {
        out += "<tr><th>" + html(view) + "</th>";
        for (const std::string& k : kinds)
            for (const Picture& p : pictures)
                if (p.view == view && p.kind == k)
                    out += "<td><a href=\"" + html(p.file) + "\"><img src=\"" + html(p.file) +
                           "\" alt=\"" + html(view + " " + k) + "\"></a></td>";
        out += "</tr>\n";
    }
    return out + "</table>\n";
}

const char* kStyle = R"(body{font-family:sans-serif;margin:1.5em;max-width:1500px;color:#222}
img{width:300px;border:1px solid #bbb}table.pictures td,table.pictures th{padding:2px 4px}
table.facts{border-collapse:collapse}table.facts th,table.facts td{border:1px solid #ccc;padding:3px 8px;text-align:left;vertical-align:top}
table.facts td{font-family:monospace;white-space:pre-wrap;word-break:break-all}
pre{background:#f4f4f4;padding:.8em;max-height:30em;overflow:auto}
.refusal{background:#fde8e6;border:1px solid #d33;padding:.5em 1em}
.legend{display:inline-block;width:300px;height:14px;vertical-align:middle;
background:linear-gradient(to right,#29356b,#1aa6d9,#59d959,#fad926,#e61a14)}
canvas{border:1px solid #bbb;width:960px;height:600px})";

// The page keeps a long log readable and small; the whole log is beside it.
constexpr std::size_t kLogShown = 1 << 20;

} // namespace

bool writeHtml(const LoadedRun& run, const Displacement& heat, const std::vector<Picture>& pictures,
               const std::vector<std::string>& models, const ToolPaths& tools,
               const std::string& dir, std::string& error) {
    Json summary, runJson;
    std::string summaryText;
    if (!readTextFile(dir + "/summary.json", summaryText, error)) return false;
    try {
        summary = Json::parse(summaryText);
    } catch (const Json::exception& e) {
        error = dir + "/summary.json: " + e.what();
        return false;
    }
    if (!writeViewerModules(tools, dir, error) || !writeViewerModels(run, heat, models, dir, error))
        return false;

    const std::string scenario = summary.value("scenario", std::string("scenario"));
    std::string page = "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta "
                       "charset=\"utf-8\">\n<title>Crash lab: " +
                       html(scenario) + "</title>\n<style>" + kStyle +
                       "</style>\n</head>\n<body>\n";
    page += "<h1>Crash lab: " + html(scenario) + "</h1>\n";
    page += "<p>Plug-in <code>" + html(summary.value("plugin", std::string())) + "</code>, " +
            html(jsonText(summary.value("frames", Json(0)))) + " frames. " +
            std::to_string(heat.dentedMeshes) + " dented meshes, " +
            std::to_string(heat.displacedVertices) + " displaced vertices, largest displacement " +
            metres(heat.largest) +
            (heat.largestFrame.empty()
                 ? ""
                 : " (" + html(heat.largestCar + ", " + heat.largestFrame) + ")") +
            ".</p>\n";
    const Json refusals = summary.value("refusals", Json::array());
    if (!refusals.empty()) {
        page += "<div class=\"refusal\"><p>The plug-in refused part of this scenario; its log "
                "says:</p><pre>";
        for (const Json& line : refusals)
            page += html(line.is_string() ? line.get<std::string>() : jsonText(line)) + "\n";
        page += "</pre></div>\n";
    }
    page += "<h2>Pictures</h2>\n" + picturesTable(run, pictures);
    page += "<p>Heat map: distance of every vertex from where it was in <b>" +
            html(run.snapshots.front().label) + "</b>: 0 <span class=\"legend\"></span> " +
            metres(heatScaleOf(heat)) + "</p>\n";
    page += "<h2>3-D viewer</h2>\n<p><button id=\"snapshot-toggle\">Snapshot</button> "
            "<button id=\"heat-toggle\">Heat map: off</button> <span id=\"viewer-status\">Loading "
            "the viewer...</span></p>\n"
            "<canvas id=\"view3d\" width=\"960\" height=\"600\"></canvas>\n";
    page += "<p>Models (binary glTF): ";
    for (const std::string& m : models)
        page += "<a href=\"" + html(m) + "\">" + html(m) + "</a> ";
    page += "</p>\n<h2>Summary</h2>\n" + factsTable(summary) +
            "<p><a href=\"summary.json\">summary.json</a></p>\n";
    page += "<h2>Plug-in log</h2>\n<p><a href=\"bucklewright.log\">bucklewright.log</a></p>\n<pre>";
    page += html(run.log.substr(0, kLogShown));
    if (run.log.size() > kLogShown) page += "\n[the log goes on; see bucklewright.log]";
    page += "</pre>\n";
    page += R"(<script src="viewer/modules.js"></script>
<script src="viewer/models.js"></script>
<script>
(function () {
  var imports = {};
  for (var name in window.bwModules)
    imports[name] = URL.createObjectURL(new Blob([window.bwModules[name]], {type: 'text/javascript'}));
  var map = document.createElement('script');
  map.type = 'importmap';
  map.textContent = JSON.stringify({imports: imports});
  document.head.appendChild(map);
  var main = document.createElement('script');
  main.type = 'module';
  main.textContent = "import 'bwlab-viewer';";
  document.body.appendChild(main);
})();
</script>
</body>
</html>
)";
    return writeTextFile(dir + "/index.html", page, error);
}

} // namespace lab
