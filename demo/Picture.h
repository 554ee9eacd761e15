// The demo's picture: a top view (X right, Y up) and a front view (X right,
// Z up) of the scene, side by side, drawn as a standalone SVG document.
//
// Each instance is drawn where it stood before the alignment, faint and dashed,
// and where it stands now, in its colour: as its box when it has one (centred
// on its placement, along its own axes), otherwise as a small axis triad. The
// origin and target widgets are drawn as triads in their own colours with their
// labels while they are shown. A legend and the alignment's state line close
// the picture. With `animate`, each moved instance plays its move in a browser;
// a viewer without animation shows where it stands now.
//
// Typical use:
//   Picture picture;
//   picture.instances.push_back({"bolt", true, dg::DVec3(1, 1, 4), before, now});
//   picture.stateLine = "parts 1 ...";
//   WriteSvg(picture, file);
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <dg/Geometry.h>

namespace alignpartsdemo {

struct PictureInstance {
    std::string name;
    bool hasBox = false;
    dg::DVec3 box;       // edge lengths along the instance's own axes
    dg::DVec3 centre;    // the box's centre in the instance's own frame
    dg::Location before; // where it stood before the alignment
    dg::Location now;    // where it stands now
};

struct PictureWidget {
    bool present = false; // an alignment exists, so the widget does
    bool shown = false;
    std::string label;
    dg::Color color;
    dg::Location location;
};

struct Picture {
    std::vector<PictureInstance> instances;
    PictureWidget origin;
    PictureWidget target;
    std::string stateLine; // empty without an alignment
    bool animate = true;
};

// Writes `picture` as a complete SVG document.
void WriteSvg(const Picture &picture, std::ostream &out);

} // namespace alignpartsdemo
