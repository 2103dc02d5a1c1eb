#pragma once

// A part map says how a source mesh becomes a car: which of the source's
// parts (node names) make which of the game's vehicle parts, and how to turn
// the source's units and axes into the game's (metres; x right, y forward,
// z up). One directive per line; '#' starts a comment.
//
//   scale S                     source units per metre times S gives metres (default 1)
//   prelit F                    a vertex without its own colour carries F times its
//                               material's colour as prelit light (default 1: lit
//                               through; less lets the sun shade a mesh whose colour
//                               comes from textures)
//   axes FORWARD UP             the source's forward and up axes: +x -x +y -y +z -z
//                               (default +y +z, the game's own)
//   offset X Y Z                moves the body by X Y Z metres in the game's axes,
//                               after scale and axes (default 0 0 0); boxes are
//                               given where the body then stands
//   part PATH SOURCE... [box X0 Y0 Z0 X1 Y1 Z1 [whole]]
//                               the triangles of the named source parts (and their
//                               children; '*' names every part) not taken by an
//                               earlier line make the atomic PATH; with a box (game
//                               axes, metres) only what lies inside it: triangles
//                               are cut at the box's faces, the pieces outside left
//                               for later lines. With "whole", triangles are not cut:
//                               those whose centroid lies in the box are taken whole
//   copy PATH FROM              PATH is a copy of the atomic FROM (a damaged variant)
//   rest PATH                   every triangle no part line took
//
// PATH is "dummy/atomic" or "atomic": the frames the game names, created under
// the car's root as needed. An atomic whose name ends in "_dam" is the damaged
// variant (visibility flag 2); every other atomic is drawn intact (flag 1).

#include <array>
#include <string>
#include <vector>

namespace carimport {

struct Box {
    std::array<float, 3> lo{}, hi{};
};

struct PartLine {
    enum class Kind { Part, Copy, Rest } kind = Kind::Part;
    int line = 0;
    std::string path;                 // "dummy/atomic" or "atomic"
    std::vector<std::string> sources; // Part: node names; Copy: the one atomic path copied
    bool hasBox = false;
    bool wholeTriangles = false; // take whole triangles by centroid instead of cutting
    Box box;
};

struct PartMap {
    std::string file; // for messages
    float scale = 1.0f;
    float prelit = 1.0f;
    int forward = 2; // signed axis: 1 x, 2 y, 3 z; negative for the minus direction
    int up = 3;
    std::array<float, 3> offset{};
    std::vector<PartLine> lines;
};

// Reads `text` (the contents of `file`). On a fault, `error` is "FILE:LINE: what".
bool parsePartMap(const std::string& file, const std::string& text, PartMap& map,
                  std::string& error);
bool readPartMap(const std::string& file, PartMap& map, std::string& error);

// "FILE:LINE: what" for messages about one line of the map.
std::string mapError(const PartMap& map, int line, const std::string& what);

} // namespace carimport
