#include "Picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace alignpartsdemo {

namespace {

constexpr double kWidth = 1000;
constexpr double kPanelTop = 78;
constexpr double kPanelWidth = 470;
// Panels grow with the scene's height-to-width ratio, within these bounds.
constexpr double kMinPanelHeight = 260;
constexpr double kMaxPanelHeight = 520;
constexpr double kPanelLeft[2] = {20, 510};
// Room inside each panel's frame for triads and labels that stick out of the
// geometry's bounds.
constexpr double kInnerPad = 44;
constexpr double kTriadLength = 20;
constexpr double kWidgetLength = 34;
constexpr const char *kFont = "DejaVu Sans, Helvetica, Arial, sans-serif";
constexpr const char *kMonoFont = "DejaVu Sans Mono, Menlo, Consolas, monospace";

// Distinct from the widgets' green and blue, so that no part passes for a widget.
const char *const kPalette[] = {"#d62728", "#ff7f0e", "#9467bd", "#8c564b",
                                "#e377c2", "#bcbd22", "#17becf", "#7f7f7f"};

const char *InstanceColor(std::size_t index) {
    return kPalette[index % (sizeof kPalette / sizeof kPalette[0])];
}

std::string Hex(const dg::Color &color) {
    auto channel = [](float c) {
        return static_cast<int>(std::lround(std::clamp(static_cast<double>(c), 0.0, 1.0) * 255));
    };
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", channel(color.r), channel(color.g),
                  channel(color.b));
    return text;
}

std::string Escape(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                escaped += c;
            else
                escaped += '?';
        }
    }
    return escaped;
}

std::string Px(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

struct Point2 {
    double x = 0, y = 0;
};

// A label's extent on the page, in pixels.
struct Rect {
    double left, top, right, bottom;
    bool Overlaps(const Rect &other) const {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};

// Roughly the advance of one character of an 11-pixel sans-serif font.
constexpr double kLabelCharWidth = 6.4;

// A local point placed by `location`, in the row-vector convention: p·M + pos.
dg::DVec3 Place(const dg::Location &location, const dg::DVec3 &p) {
    const auto &m = location.mat.m;
    return dg::DVec3(p.x * m[0][0] + p.y * m[1][0] + p.z * m[2][0] + location.pos.x,
                     p.x * m[0][1] + p.y * m[1][1] + p.z * m[2][1] + location.pos.y,
                     p.x * m[0][2] + p.y * m[1][2] + p.z * m[2][2] + location.pos.z);
}

// Axis `row` of the placement, without its scale.
dg::DVec3 UnitAxis(const dg::Location &location, int row) {
    const auto &m = location.mat.m[row];
    const double length =
        std::sqrt(double(m[0]) * m[0] + double(m[1]) * m[1] + double(m[2]) * m[2]);
    if (!(length > 0) || !std::isfinite(length))
        return dg::DVec3();
    return dg::DVec3(m[0] / length, m[1] / length, m[2] / length);
}

// View 0 looks down on X and Y; view 1 looks at X and Z from the front.
Point2 Project(int view, const dg::DVec3 &p) {
    return {p.x, view == 0 ? p.y : p.z};
}

std::vector<dg::DVec3> BoxCorners(const PictureInstance &instance, const dg::Location &location) {
    std::vector<dg::DVec3> corners;
    for (int i = 0; i < 8; ++i) {
        const dg::DVec3 local(instance.centre.x + (i & 1 ? 0.5 : -0.5) * instance.box.x,
                              instance.centre.y + (i & 2 ? 0.5 : -0.5) * instance.box.y,
                              instance.centre.z + (i & 4 ? 0.5 : -0.5) * instance.box.z);
        corners.push_back(Place(location, local));
    }
    return corners;
}

bool IsFinite(const dg::DVec3 &p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

bool IsFinite(const Point2 &p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// Whether the instance can be drawn at `location`: a box so large, or so far
// out, that a corner overflows has no place on the page.
bool Drawable(const PictureInstance &instance, const dg::Location &location) {
    if (!instance.hasBox)
        return IsFinite(dg::DVec3(location.pos));
    const std::vector<dg::DVec3> corners = BoxCorners(instance, location);
    return std::all_of(corners.begin(), corners.end(),
                       [](const dg::DVec3 &corner) { return IsFinite(corner); });
}

// The faces of a box by the corner numbering of BoxCorners (bit 0 x, bit 1 y, bit 2 z).
const int kFaces[6][4] = {{0, 2, 6, 4}, {1, 3, 7, 5}, {0, 1, 5, 4},
                          {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 5, 7, 6}};

double NiceStep(double raw) {
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (factor * power >= raw)
            return factor * power;
    return 10 * power;
}

std::string TickLabel(double value, double step) {
    if (std::fabs(value) < step * 1e-6)
        value = 0;
    char text[40];
    // Six digits tell the ticks apart near the origin; far from it, the
    // step's decimals do, or as many digits as a double holds.
    if (std::fabs(value) < step * 1e5)
        std::snprintf(text, sizeof text, "%g", value);
    else if (std::fabs(value) < 1e17 && step >= 1e-9)
        std::snprintf(text, sizeof text, "%.*f",
                      step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9)), value);
    else
        std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Grid lines in one direction of a panel: the multiples of `step` within
// `half` of `centre`, from the first, as indices of the step. False where
// there are none to tell apart: a step below what a double resolves that far
// from the origin (parts 10^16 from it, a millimetre apart), or a step that
// overflowed. A panel is a few steps wide, so a few lines are drawn at most.
constexpr double kFarthestTick = 4503599627370496.0; // 2^52 steps from the origin
constexpr int kMostGridLines = 64;

bool GridStart(double centre, double half, double step, double &first) {
    if (!(step > 0) || !std::isfinite(step))
        return false;
    const double middle = centre / step;
    const double reach = half / step;
    if (!std::isfinite(middle) || !std::isfinite(reach) ||
        !(std::fabs(middle) + reach < kFarthestTick))
        return false;
    first = std::ceil((centre - half) / step);
    return std::isfinite(first);
}

// Where world coordinates of one view land in its panel; both views share one scale.
struct Frame {
    int view = 0;
    double left = 0;
    double height = kMinPanelHeight;
    double scale = 1;
    Point2 centre;

    Point2 ToPixel(const Point2 &world) const {
        return {left + kPanelWidth / 2 + (world.x - centre.x) * scale,
                kPanelTop + height / 2 - (world.y - centre.y) * scale};
    }
    Point2 ToPixel(const dg::DVec3 &world) const { return ToPixel(Project(view, world)); }
    // A unit direction drawn `length` pixels long; a direction along the line of
    // sight shrinks to a point.
    Point2 Tip(const Point2 &from, const dg::DVec3 &direction, double length) const {
        const Point2 d = Project(view, direction);
        return {from.x + d.x * length, from.y - d.y * length};
    }
};

struct Bounds {
    double lo[2] = {0, 0};
    double hi[2] = {0, 0};
    bool empty = true;

    // A point that overflowed has no place on the page and is left out.
    void Add(const Point2 &p) {
        if (!IsFinite(p))
            return;
        const double v[2] = {p.x, p.y};
        for (int i = 0; i < 2; ++i) {
            lo[i] = empty ? v[i] : std::min(lo[i], v[i]);
            hi[i] = empty ? v[i] : std::max(hi[i], v[i]);
        }
        empty = false;
    }
};

bool Moved(const PictureInstance &instance) {
    const double eps = 1e-9;
    for (int i = 0; i < 3; ++i)
        if (std::fabs(instance.before.pos[i] - instance.now.pos[i]) > eps)
            return true;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (std::fabs(instance.before.mat.m[r][c] - instance.now.mat.m[r][c]) > eps)
                return true;
    return false;
}

// Beyond this many instances the picture is an assembly's: parts that stand
// still turn grey so that the moved ones stand out, names go only where they
// fit (a number where only that fits), and the legend names the rest.
constexpr std::size_t kNamedInLegend = 12;
constexpr const char *kStillColor = "#a3a3a3";

class SvgWriter {
public:
    explicit SvgWriter(const Picture &picture)
        : picture_(picture), large_(picture.instances.size() > kNamedInLegend),
          unnamed_(picture.instances.size(), false) {}

    void Write(std::ostream &out) {
        LayOutFrames();
        std::ostringstream body;
        WriteTitle(body);
        for (const Frame &frame : frames_)
            WritePanel(body, frame);
        const double legendBottom = WriteLegend(body);
        const double height = WriteState(body, legendBottom);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Px(kWidth) << "\" height=\""
            << Px(height) << "\" viewBox=\"0 0 " << Px(kWidth) << ' ' << Px(height)
            << "\" font-family=\"" << kFont << "\">\n"
            << "<defs>\n"
            << "<marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
               "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
               "fill=\"#555\"/></marker>\n";
        for (const Frame &frame : frames_)
            out << "<clipPath id=\"panel" << frame.view << "\"><rect x=\"" << Px(frame.left)
                << "\" y=\"" << Px(kPanelTop) << "\" width=\"" << Px(kPanelWidth) << "\" height=\""
                << Px(frame.height) << "\"/></clipPath>\n";
        out << "</defs>\n"
            << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
            << body.str() << "</svg>\n";
    }

private:
    void LayOutFrames() {
        Bounds bounds[2];
        for (int view = 0; view < 2; ++view) {
            for (const PictureInstance &instance : picture_.instances)
                for (const dg::Location *location : {&instance.before, &instance.now}) {
                    if (instance.hasBox)
                        for (const dg::DVec3 &corner : BoxCorners(instance, *location))
                            bounds[view].Add(Project(view, corner));
                    else
                        bounds[view].Add(Project(view, location->pos));
                }
            for (const PictureWidget *widget : {&picture_.origin, &picture_.target})
                if (widget->present && widget->shown)
                    bounds[view].Add(Project(view, widget->location.pos));
            if (bounds[view].empty)
                bounds[view].Add(Point2{0, 0});
        }
        // Spans and centres are taken in halves: parts at both ends of the
        // doubles' range span more than a double holds.
        auto halfSpan = [](const Bounds &b, int i) { return b.hi[i] / 2 - b.lo[i] / 2; };
        double largestHalf = 0;
        for (const Bounds &b : bounds)
            for (int i = 0; i < 2; ++i)
                largestHalf = std::max(largestHalf, halfSpan(b, i));
        // A single point, or a flat scene, still gets a sensible scale; so does
        // one smaller than a scale can magnify.
        const double minimumHalf = largestHalf > 0 ? std::max(largestHalf * 0.25, 1e-290) : 1.0;
        // One scale for both views: the widest span fills a panel's width, unless
        // the tallest would then need more than the largest panel.
        double scale = 1e300;
        for (const Bounds &b : bounds) {
            scale = std::min(scale,
                             (kPanelWidth / 2 - kInnerPad) / std::max(halfSpan(b, 0), minimumHalf));
            scale = std::min(scale, (kMaxPanelHeight / 2 - kInnerPad) /
                                        std::max(halfSpan(b, 1), minimumHalf));
        }
        double height = kMinPanelHeight;
        for (const Bounds &b : bounds)
            height = std::max(height, 2 * halfSpan(b, 1) * scale + 2 * kInnerPad);
        for (int view = 0; view < 2; ++view) {
            Frame &frame = frames_[view];
            frame.view = view;
            frame.left = kPanelLeft[view];
            frame.height = height;
            frame.scale = scale;
            frame.centre = {bounds[view].lo[0] / 2 + bounds[view].hi[0] / 2,
                            bounds[view].lo[1] / 2 + bounds[view].hi[1] / 2};
        }
    }

    void WriteTitle(std::ostream &out) const {
        bool anyMoved = false;
        for (const PictureInstance &instance : picture_.instances)
            anyMoved = anyMoved || Moved(instance);
        out << "<text x=\"20\" y=\"30\" font-size=\"20\" font-weight=\"bold\" fill=\"#222\">"
               "Align parts</text>\n"
            << "<text x=\"20\" y=\"50\" font-size=\"12\" fill=\"#555\">Faint and dashed: where "
               "each instance stood before the alignment. In colour: where it stands now."
            << (picture_.animate && anyMoved ? " Open in a browser to watch the move." : "")
            << "</text>\n";
    }

    void WritePanel(std::ostream &out, const Frame &frame) const {
        const char *title =
            frame.view == 0 ? "Top view (X right, Y up)" : "Front view (X right, Z up)";
        out << "<text x=\"" << Px(frame.left) << "\" y=\"" << Px(kPanelTop - 8)
            << "\" font-size=\"13\" font-weight=\"bold\" fill=\"#333\">" << title << "</text>\n";
        out << "<rect x=\"" << Px(frame.left) << "\" y=\"" << Px(kPanelTop) << "\" width=\""
            << Px(kPanelWidth) << "\" height=\"" << Px(frame.height)
            << "\" fill=\"#fbfbfb\" stroke=\"#bbb\"/>\n";
        out << "<g clip-path=\"url(#panel" << frame.view << ")\">\n";
        WriteGrid(out, frame);
        for (std::size_t i = 0; i < picture_.instances.size(); ++i)
            if (!large_ || Moved(picture_.instances[i]))
                WriteInstance(out, frame, picture_.instances[i], Color(i), false);
        for (std::size_t i = 0; i < picture_.instances.size(); ++i)
            WriteInstance(out, frame, picture_.instances[i], Color(i), true);
        WriteMoveArrow(out, frame);
        std::vector<Rect> taken;
        for (const PictureWidget *widget : {&picture_.origin, &picture_.target})
            if (widget->present && widget->shown)
                WriteWidget(out, frame, *widget, taken);
        // Moved instances are named first: they are what the picture is about.
        for (int moved = 1; moved >= 0; --moved)
            for (std::size_t i = 0; i < picture_.instances.size(); ++i)
                if (Moved(picture_.instances[i]) == (moved == 1))
                    WriteInstanceName(out, frame, i, taken);
        out << "</g>\n";
        WriteAxisKey(out, frame);
    }

    void WriteGrid(std::ostream &out, const Frame &frame) const {
        const double step = NiceStep(70 / frame.scale);
        const double halfW = kPanelWidth / 2 / frame.scale;
        const double halfH = frame.height / 2 / frame.scale;
        const double bottom = kPanelTop + frame.height;
        double firstX = 0, firstY = 0;
        if (!GridStart(frame.centre.x, halfW, step, firstX) ||
            !GridStart(frame.centre.y, halfH, step, firstY)) {
            out << "<text x=\"" << Px(frame.left + 3) << "\" y=\"" << Px(bottom - 4)
                << "\" font-size=\"9\" fill=\"#999\">no grid: too far from the origin for this "
                   "scale</text>\n";
            return;
        }
        int lines = 0;
        for (double k = firstX; k * step <= frame.centre.x + halfW && lines < kMostGridLines;
             ++k, ++lines) {
            const double x = frame.ToPixel(Point2{k * step, 0}).x;
            const bool axis = std::fabs(k) < 0.5;
            out << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(kPanelTop) << "\" x2=\"" << Px(x)
                << "\" y2=\"" << Px(bottom) << "\" stroke=\"" << (axis ? "#b0b0b0" : "#e6e6e6")
                << "\"/>\n"
                << "<text x=\"" << Px(x + 2) << "\" y=\"" << Px(bottom - 4)
                << "\" font-size=\"9\" fill=\"#999\">" << TickLabel(k * step, step) << "</text>\n";
        }
        lines = 0;
        for (double k = firstY; k * step <= frame.centre.y + halfH && lines < kMostGridLines;
             ++k, ++lines) {
            const double y = frame.ToPixel(Point2{0, k * step}).y;
            const bool axis = std::fabs(k) < 0.5;
            out << "<line x1=\"" << Px(frame.left) << "\" y1=\"" << Px(y) << "\" x2=\""
                << Px(frame.left + kPanelWidth) << "\" y2=\"" << Px(y) << "\" stroke=\""
                << (axis ? "#b0b0b0" : "#e6e6e6") << "\"/>\n"
                << "<text x=\"" << Px(frame.left + 3) << "\" y=\"" << Px(y - 2)
                << "\" font-size=\"9\" fill=\"#999\">" << TickLabel(k * step, step) << "</text>\n";
        }
    }

    // The little arrows in the panel's corner that say which way each axis points.
    void WriteAxisKey(std::ostream &out, const Frame &frame) const {
        const double x = frame.left + kPanelWidth - 58;
        const double y = kPanelTop + frame.height - 16;
        out << "<g stroke=\"#555\" stroke-width=\"1.5\" fill=\"none\">"
            << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(y) << "\" x2=\"" << Px(x + 30)
            << "\" y2=\"" << Px(y) << "\" marker-end=\"url(#arrow)\"/>"
            << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(y) << "\" x2=\"" << Px(x) << "\" y2=\""
            << Px(y - 30) << "\" marker-end=\"url(#arrow)\"/></g>\n"
            << "<text x=\"" << Px(x + 34) << "\" y=\"" << Px(y + 4)
            << "\" font-size=\"11\" fill=\"#555\">X</text>\n"
            << "<text x=\"" << Px(x - 4) << "\" y=\"" << Px(y - 34)
            << "\" font-size=\"11\" fill=\"#555\">" << (frame.view == 0 ? 'Y' : 'Z') << "</text>\n";
    }

    std::string FacePoints(const Frame &frame, const std::vector<dg::DVec3> &corners,
                           int face) const {
        std::string points;
        for (int k = 0; k < 4; ++k) {
            const Point2 p = frame.ToPixel(corners[kFaces[face][k]]);
            points += (k ? " " : "") + Px(p.x) + ',' + Px(p.y);
        }
        return points;
    }

    std::string TriadPath(const Frame &frame, const dg::Location &location) const {
        const Point2 origin = frame.ToPixel(location.pos);
        std::string path;
        for (int axis = 0; axis < 3; ++axis) {
            const Point2 tip = frame.Tip(origin, UnitAxis(location, axis), kTriadLength);
            path +=
                "M" + Px(origin.x) + ',' + Px(origin.y) + " L" + Px(tip.x) + ',' + Px(tip.y) + ' ';
        }
        return path;
    }

    // Plays the move from `before` to `now` in a loop: hold, move, hold.
    static std::string Animation(const char *attribute, const std::string &before,
                                 const std::string &now) {
        return std::string("<animate attributeName=\"") + attribute + "\" values=\"" + before +
               ';' + before + ';' + now + ';' + now +
               "\" keyTimes=\"0;0.2;0.7;1\" dur=\"4s\" repeatCount=\"indefinite\"/>";
    }

    void WriteInstance(std::ostream &out, const Frame &frame, const PictureInstance &instance,
                       const char *color, bool current) const {
        const dg::Location &location = current ? instance.now : instance.before;
        if (!Drawable(instance, location))
            return;
        const bool animate =
            current && picture_.animate && Moved(instance) && Drawable(instance, instance.before);
        const std::string style =
            current ? std::string("stroke=\"") + color + "\" stroke-width=\"1.4\" fill=\"" + color +
                          "\" fill-opacity=\"0.07\""
                    : std::string("stroke=\"") + color +
                          "\" stroke-opacity=\"0.45\" stroke-width=\"1\" stroke-dasharray=\"4 3\" "
                          "fill=\"" +
                          color + "\" fill-opacity=\"0.04\"";
        if (instance.hasBox) {
            const std::vector<dg::DVec3> corners = BoxCorners(instance, location);
            const std::vector<dg::DVec3> start = BoxCorners(instance, instance.before);
            out << "<g " << style << " stroke-linejoin=\"round\">";
            for (int face = 0; face < 6; ++face) {
                const std::string points = FacePoints(frame, corners, face);
                out << "<polygon points=\"" << points << "\">";
                if (animate)
                    out << Animation("points", FacePoints(frame, start, face), points);
                out << "</polygon>";
            }
            out << "</g>\n";
        } else {
            const std::string path = TriadPath(frame, location);
            const Point2 p = frame.ToPixel(location.pos);
            out << "<g " << style << " stroke-linecap=\"round\"><path fill=\"none\" d=\"" << path
                << "\">";
            if (animate)
                out << Animation("d", TriadPath(frame, instance.before), path);
            out << "</path><circle cx=\"" << Px(p.x) << "\" cy=\"" << Px(p.y) << "\" r=\"2.5\">";
            if (animate) {
                const Point2 s = frame.ToPixel(instance.before.pos);
                out << Animation("cx", Px(s.x), Px(p.x)) << Animation("cy", Px(s.y), Px(p.y));
            }
            out << "</circle></g>\n";
        }
    }

    const char *Color(std::size_t index) const {
        return large_ && !Moved(picture_.instances[index]) ? kStillColor : InstanceColor(index);
    }

    // Where an instance's name goes: the centre of its box, or its origin.
    static dg::DVec3 Anchor(const PictureInstance &instance) {
        return instance.hasBox ? Place(instance.now, instance.centre) : dg::DVec3(instance.now.pos);
    }

    // A free spot for `text` beside `p`: just above, just below, then
    // alternately further out, right of it and then left of it.
    static bool FindSpot(const Point2 &p, double width, int tries, const std::vector<Rect> &taken,
                         Rect &chosen) {
        for (int side = 0; side < 2; ++side)
            for (int k = 0; k < tries; ++k) {
                const double baseline =
                    p.y + (k % 2 == 0 ? -5 - 13.0 * (k / 2) : 14 + 13.0 * (k / 2));
                const double left = side == 0 ? p.x + 6 : p.x - 6 - width;
                const Rect candidate{left, baseline - 10, left + width, baseline + 2};
                if (std::none_of(taken.begin(), taken.end(),
                                 [&](const Rect &r) { return r.Overlaps(candidate); })) {
                    chosen = candidate;
                    return true;
                }
            }
        return false;
    }

    // Names go beside their instance, stacked above or below where several
    // instances stand together, so that no two names overlap. In a small
    // picture every name is written; in a large one a name that does not fit
    // leaves its number (its place in the legend), or nothing.
    void WriteInstanceName(std::ostream &out, const Frame &frame, std::size_t index,
                           std::vector<Rect> &taken) const {
        const PictureInstance &instance = picture_.instances[index];
        const Point2 p = frame.ToPixel(Anchor(instance));
        if (!IsFinite(p) || p.x < frame.left || p.x > frame.left + kPanelWidth || p.y < kPanelTop ||
            p.y > kPanelTop + frame.height)
            return;
        std::string text = instance.name;
        Rect chosen{};
        if (!FindSpot(p, kLabelCharWidth * double(text.size()), large_ ? 4 : 10, taken, chosen)) {
            if (large_) {
                unnamed_[index] = true;
                text = std::to_string(index + 1);
                if (!FindSpot(p, kLabelCharWidth * double(text.size()), 2, taken, chosen))
                    return;
            } else {
                chosen = Rect{p.x + 6, p.y - 15, p.x + 6 + kLabelCharWidth * double(text.size()),
                              p.y - 3};
            }
        }
        taken.push_back(chosen);
        out << "<text x=\"" << Px(chosen.left) << "\" y=\"" << Px(chosen.bottom - 2)
            << "\" font-size=\"11\" fill=\"" << (large_ ? "#333" : Color(index))
            << "\" stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\">" << Escape(text)
            << "</text>\n";
    }

    // The move the alignment makes, from the origin to the target.
    void WriteMoveArrow(std::ostream &out, const Frame &frame) const {
        if (!(picture_.origin.present && picture_.origin.shown && picture_.target.present &&
              picture_.target.shown))
            return;
        const Point2 from = frame.ToPixel(picture_.origin.location.pos);
        const Point2 to = frame.ToPixel(picture_.target.location.pos);
        if (!IsFinite(from) || !IsFinite(to) || std::hypot(to.x - from.x, to.y - from.y) < 12)
            return;
        out << "<line x1=\"" << Px(from.x) << "\" y1=\"" << Px(from.y) << "\" x2=\"" << Px(to.x)
            << "\" y2=\"" << Px(to.y)
            << "\" stroke=\"#555\" stroke-width=\"1\" stroke-dasharray=\"6 4\" "
               "marker-end=\"url(#arrow)\"/>\n";
    }

    void WriteWidget(std::ostream &out, const Frame &frame, const PictureWidget &widget,
                     std::vector<Rect> &taken) const {
        const std::string color = Hex(widget.color);
        const Point2 origin = frame.ToPixel(widget.location.pos);
        if (!IsFinite(origin))
            return;
        out << "<g stroke=\"" << color << "\" stroke-width=\"2.6\" stroke-linecap=\"round\">";
        const char *letters = "xyz";
        std::string tips;
        for (int axis = 0; axis < 3; ++axis) {
            const Point2 tip = frame.Tip(origin, UnitAxis(widget.location, axis), kWidgetLength);
            if (std::hypot(tip.x - origin.x, tip.y - origin.y) < 3)
                continue; // seen end-on
            out << "<line x1=\"" << Px(origin.x) << "\" y1=\"" << Px(origin.y) << "\" x2=\""
                << Px(tip.x) << "\" y2=\"" << Px(tip.y) << "\"/>";
            const double dx = tip.x - origin.x;
            const double dy = tip.y - origin.y;
            const double length = std::hypot(dx, dy);
            tips += "<text x=\"" + Px(tip.x + dx / length * 7 - 3) + "\" y=\"" +
                    Px(tip.y + dy / length * 7 + 4) + "\" font-size=\"10\" fill=\"" + color +
                    "\">" + letters[axis] + "</text>";
        }
        const double labelWidth = 7.5 * double(widget.label.size());
        taken.push_back(Rect{origin.x - 6 - labelWidth, origin.y + 5, origin.x - 6, origin.y + 20});
        out << "</g><circle cx=\"" << Px(origin.x) << "\" cy=\"" << Px(origin.y)
            << "\" r=\"4\" fill=\"" << color << "\"/>" << tips << "<text x=\"" << Px(origin.x - 6)
            << "\" y=\"" << Px(origin.y + 17)
            << "\" text-anchor=\"end\" font-size=\"12\" font-weight=\"bold\" fill=\"" << color
            << "\" stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\">"
            << Escape(widget.label) << "</text>\n";
    }

    // Lays the legend's entries out in rows; answers the y below the last row.
    double WriteLegend(std::ostream &out) const {
        const double top = kPanelTop + frames_[0].height + 28;
        double x = 20;
        double y = top;
        auto place = [&](double width) {
            if (x + width > kWidth - 20 && x > 20) {
                x = 20;
                y += 22;
            }
            const Point2 at{x, y};
            x += width;
            return at;
        };
        auto textWidth = [](const std::string &text) { return 7.0 * double(text.size()); };

        {
            const std::string text = "before the alignment";
            const Point2 at = place(36 + textWidth(text));
            out << "<rect x=\"" << Px(at.x) << "\" y=\"" << Px(at.y - 10) << "\" width=\"22\" "
                << "height=\"12\" fill=\"#888\" fill-opacity=\"0.06\" stroke=\"#888\" "
                   "stroke-dasharray=\"4 3\"/><text x=\""
                << Px(at.x + 28) << "\" y=\"" << Px(at.y) << "\" font-size=\"12\" fill=\"#333\">"
                << text << "</text>\n";
        }
        if (large_) {
            const std::string text = "a part that stands still";
            const Point2 at = place(36 + textWidth(text));
            out << "<rect x=\"" << Px(at.x) << "\" y=\"" << Px(at.y - 10)
                << "\" width=\"22\" height=\"12\" fill=\"" << kStillColor
                << "\" fill-opacity=\"0.07\" stroke=\"" << kStillColor
                << "\" stroke-width=\"1.4\"/><text x=\"" << Px(at.x + 28) << "\" y=\"" << Px(at.y)
                << "\" font-size=\"12\" fill=\"#333\">" << text << "</text>\n";
        }
        for (std::size_t i = 0; i < picture_.instances.size(); ++i) {
            // A large picture's legend names only the instances named nowhere else.
            if (large_ && !unnamed_[i])
                continue;
            const PictureInstance &instance = picture_.instances[i];
            const char *color = Color(i);
            const std::string name =
                large_ ? std::to_string(i + 1) + " " + instance.name : instance.name;
            const Point2 at = place(36 + textWidth(name));
            if (instance.hasBox)
                out << "<rect x=\"" << Px(at.x) << "\" y=\"" << Px(at.y - 10)
                    << "\" width=\"22\" height=\"12\" fill=\"" << color
                    << "\" fill-opacity=\"0.13\" stroke=\"" << color << "\" stroke-width=\"1.4\"/>";
            else
                out << "<path d=\"M" << Px(at.x + 4) << ',' << Px(at.y) << " h16 M" << Px(at.x + 4)
                    << ',' << Px(at.y) << " v-12\" stroke=\"" << color
                    << "\" stroke-width=\"1.4\" fill=\"none\"/>";
            out << "<text x=\"" << Px(at.x + 28) << "\" y=\"" << Px(at.y)
                << "\" font-size=\"12\" fill=\"#333\">" << Escape(name) << "</text>\n";
        }
        for (const PictureWidget *widget : {&picture_.origin, &picture_.target}) {
            if (!widget->present)
                continue;
            const std::string color = Hex(widget->color);
            const std::string text = widget->label + " widget" + (widget->shown ? "" : " (hidden)");
            const Point2 at = place(36 + textWidth(text));
            out << "<path d=\"M" << Px(at.x + 4) << ',' << Px(at.y) << " h16 M" << Px(at.x + 4)
                << ',' << Px(at.y) << " v-12\" stroke=\"" << color
                << "\" stroke-width=\"2.6\" fill=\"none\"/><text x=\"" << Px(at.x + 28) << "\" y=\""
                << Px(at.y) << "\" font-size=\"12\" fill=\"#333\">" << Escape(text) << "</text>\n";
        }
        if (picture_.origin.present && picture_.origin.shown && picture_.target.shown) {
            const std::string text = "the move, origin to target";
            const Point2 at = place(36 + textWidth(text));
            out << "<line x1=\"" << Px(at.x) << "\" y1=\"" << Px(at.y - 4) << "\" x2=\""
                << Px(at.x + 22) << "\" y2=\"" << Px(at.y - 4)
                << "\" stroke=\"#555\" stroke-dasharray=\"6 4\" marker-end=\"url(#arrow)\"/><text "
                   "x=\""
                << Px(at.x + 28) << "\" y=\"" << Px(at.y) << "\" font-size=\"12\" fill=\"#333\">"
                << text << "</text>\n";
        }
        return y + 10;
    }

    // The state line, wrapped at word boundaries; answers the picture's height.
    double WriteState(std::ostream &out, double top) const {
        const std::string text = picture_.stateLine.empty() ? std::string("no alignment")
                                                            : "state: " + picture_.stateLine;
        const std::size_t width = 150;
        std::vector<std::string> lines;
        std::istringstream words(text);
        std::string word;
        std::string line;
        while (words >> word) {
            if (!line.empty() && line.size() + 1 + word.size() > width) {
                lines.push_back(line);
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        if (!line.empty())
            lines.push_back(line);
        double y = top + 16;
        for (const std::string &l : lines) {
            out << "<text x=\"20\" y=\"" << Px(y) << "\" font-family=\"" << kMonoFont
                << "\" font-size=\"11\" fill=\"#333\" xml:space=\"preserve\">" << Escape(l)
                << "</text>\n";
            y += 15;
        }
        return y + 6;
    }

    const Picture &picture_;
    const bool large_;
    // Instances a large picture could not name in some view, for the legend.
    mutable std::vector<bool> unnamed_;
    Frame frames_[2];
};

} // namespace

void WriteSvg(const Picture &picture, std::ostream &out) {
    SvgWriter(picture).Write(out);
}

} // namespace alignpartsdemo
