#pragma once

// The bonnet meshes of the panel benchmarks: a grid of quads, two triangles
// each, over a rectangle of the panel's plane, shaped by the caller.

#include "dent/panel_split.h"

#include <vector>

namespace bench {

struct GridDesc {
    int across = 1, along = 1; // quads in x and in y
    float x0 = 0.0f, width = 1.0f;
    float y0 = 0.0f, length = 1.0f;
    float grey = 128.0f; // prelit colour, opaque
};

// `surface(x, y, position, normal)` places the vertex at (x, y) of the grid.
template <class Surface>
std::vector<dent::PanelTriangle> gridTriangles(const GridDesc& g, Surface surface) {
    auto vertex = [&](int i, int j) {
        dent::PanelVertex v{};
        const float x = g.x0 + g.width * float(i) / float(g.across);
        const float y = g.y0 + g.length * float(j) / float(g.along);
        surface(x, y, v.position, v.normal);
        v.colour[0] = v.colour[1] = v.colour[2] = g.grey;
        v.colour[3] = 255.0f;
        v.uv[0][0] = float(i) / float(g.across);
        v.uv[0][1] = float(j) / float(g.along);
        return v;
    };
    std::vector<dent::PanelTriangle> triangles;
    triangles.reserve(std::size_t(g.across) * std::size_t(g.along) * 2);
    for (int j = 0; j < g.along; ++j)
        for (int i = 0; i < g.across; ++i) {
            dent::PanelTriangle t{};
            t.vertices[0] = vertex(i, j);
            t.vertices[1] = vertex(i + 1, j);
            t.vertices[2] = vertex(i + 1, j + 1);
            triangles.push_back(t);
            t.vertices[1] = vertex(i + 1, j + 1);
            t.vertices[2] = vertex(i, j + 1);
            triangles.push_back(t);
        }
    return triangles;
}

} // namespace bench
