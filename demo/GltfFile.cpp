#include "GltfFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>

#include <simdjson.h>
#include <sys/stat.h>

#include "GltfFolder.h"

namespace alignpartsdemo {

namespace fs = std::filesystem;
namespace json = simdjson::ondemand;

// Extensions a file may require that change nothing this program reads or
// writes: how surfaces look, and how vertex data is compressed (the bounds come
// from the accessors' min and max, which these keep; compressed data is not read).
const char *const kHonouredExtensions[] = {
    "KHR_texture_transform",   "KHR_texture_basisu",         "EXT_texture_webp",
    "EXT_texture_avif",        "KHR_draco_mesh_compression", "EXT_meshopt_compression",
    "KHR_meshopt_compression", "KHR_mesh_quantization",      "KHR_materials_"};

namespace {

using Matrix = dg::DMat44;

// How deep objects and arrays may nest anywhere in a file; glTF's own
// structure needs six levels, extras and extensions a few more.
constexpr int kMaxDepth = 128;
// The most elements an accessor may have, and the most bytes all buffers together.
constexpr std::uint64_t kMaxCount = 0xffffffffu;
constexpr std::uint64_t kMaxBufferBytes = std::uint64_t(2) << 30;
constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint32_t kJsonChunk = 0x4e4f534a;   // "JSON"
constexpr std::uint32_t kBinaryChunk = 0x004e4942; // "BIN\0"

std::string Quote(const std::string &path) {
    return "'" + path + "'";
}

GltfError Bad(const std::string &path, const std::string &problem) {
    return GltfError(GltfError::BAD_FILE, Quote(path) + ": " + problem);
}

// A name from the file as it may be shown in a one-line message.
std::string Shown(std::string_view text) {
    std::string shown;
    for (char c : text.substr(0, 200))
        shown += static_cast<unsigned char>(c) < ' ' || c == 0x7f ? '?' : c;
    return shown + (text.size() > 200 ? "..." : "");
}

std::uint32_t Word32(const std::string &bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4); // glTF is little-endian, like this machine
    return value;
}

void PutWord32(std::string &out, std::uint32_t value) {
    char word[4];
    std::memcpy(word, &value, 4);
    out.append(word, 4);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

// Where a member's text lies in the JSON text: [begin, end), end 0 when absent.
struct Span {
    std::uint32_t begin = 0, end = 0;
    bool Present() const { return end != 0; }
};

// Where a node's transform is written: its opening brace, whether it has any
// member, and its matrix, translation, rotation and scale members.
struct NodeText {
    enum { MATRIX, TRANSLATION, ROTATION, SCALE };
    std::uint32_t open = 0;
    bool hasMembers = false;
    Span members[4];
};

struct BufferEntry {
    std::uint64_t byteLength = kNone;
    bool hasUri = false;
    std::string uri;
    ResourceName name;
    bool hasData = false; // a meshopt fallback buffer has none
    bool fallback = false;
    std::string data;
    std::uint32_t open = 0;
    bool hasMembers = false;
    Span uriMember;
};

struct ImageEntry {
    ResourceName name; // steps empty unless a file beside the glTF file
};

struct GltfFile::Content {
    std::string bytes;          // the file as loaded
    bool binary = false;        // a .glb
    std::size_t jsonBegin = 0;  // the JSON text within bytes
    std::size_t jsonLength = 0; // its length, padding included
    std::size_t afterJson = 0;  // where the chunks after the JSON one start
    std::vector<NodeText> text; // per file node
    std::vector<Matrix> locals; // per file node, as read
    std::vector<bool> animated; // per file node: the target of an animation channel
    std::vector<BufferEntry> buffers;
    std::vector<ImageEntry> images;
};

namespace {

bool IsFinite(const Matrix &m) {
    for (const auto &row : m.m)
        for (double v : row)
            if (!std::isfinite(v))
                return false;
    return true;
}

// A node's transform members as read: each with its count, 0 when absent.
struct Transform {
    double matrix[16], translation[3], rotation[4], scale[3];
    std::size_t counts[4] = {0, 0, 0, 0}; // matrix, translation, rotation, scale
};

// The node's own transform, row vectors. glTF's column-major matrix of column
// vectors, read in storage order, is exactly the row-major matrix of row
// vectors; T·R·S acting on a column vector is S·Rᵀ·T acting on a row.
Matrix LocalTransform(const Transform &node, std::size_t index, const std::string &path) {
    const auto where = [index] { return "node " + std::to_string(index); };
    Matrix local;
    if (node.counts[0] != 0) {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                local.m[r][c] = node.matrix[std::size_t(r * 4 + c)];
        if (local.m[0][3] != 0 || local.m[1][3] != 0 || local.m[2][3] != 0 || local.m[3][3] != 1)
            throw Bad(path, where() + ": matrix is not an affine transform");
        return local;
    }
    double x = 0, y = 0, z = 0, w = 1;
    if (node.counts[2] != 0) {
        const double length =
            std::sqrt(node.rotation[0] * node.rotation[0] + node.rotation[1] * node.rotation[1] +
                      node.rotation[2] * node.rotation[2] + node.rotation[3] * node.rotation[3]);
        if (!(length > 0) || !std::isfinite(length))
            throw Bad(path, where() + ": rotation is not a unit quaternion");
        x = node.rotation[0] / length, y = node.rotation[1] / length;
        z = node.rotation[2] / length, w = node.rotation[3] / length;
    }
    // Columns of the rotation matrix, each the image of one axis: the rows here.
    const double axes[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w)},
                               {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w)},
                               {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y)}};
    for (int r = 0; r < 3; ++r) {
        const double s = node.counts[3] == 0 ? 1 : node.scale[r];
        for (int c = 0; c < 3; ++c)
            local.m[r][c] = s * axes[r][c];
        local.m[3][r] = node.counts[1] == 0 ? 0 : node.translation[r];
    }
    return local;
}

// Translation, rotation and a positive scale that make `local`, when it is
// made of nothing else (no shear, no mirror).
bool Decompose(const Matrix &local, double t[3], double q[4], double s[3]) {
    double axes[3][3];
    for (int r = 0; r < 3; ++r) {
        s[r] = std::sqrt(local.m[r][0] * local.m[r][0] + local.m[r][1] * local.m[r][1] +
                         local.m[r][2] * local.m[r][2]);
        // An axis so long that its square overflows has no scale to write:
        // such a node keeps the matrix form, whose entries are finite.
        if (!(s[r] > 0) || !std::isfinite(s[r]))
            return false;
        for (int c = 0; c < 3; ++c)
            axes[r][c] = local.m[r][c] / s[r];
    }
    // Placements come back from the scene in single precision.
    const double tolerance = 1e-5;
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b)
            if (std::fabs(axes[a][0] * axes[b][0] + axes[a][1] * axes[b][1] +
                          axes[a][2] * axes[b][2]) > tolerance)
                return false;
    const double det = axes[0][0] * (axes[1][1] * axes[2][2] - axes[1][2] * axes[2][1]) -
                       axes[0][1] * (axes[1][0] * axes[2][2] - axes[1][2] * axes[2][0]) +
                       axes[0][2] * (axes[1][0] * axes[2][1] - axes[1][1] * axes[2][0]);
    if (det < 0)
        return false;
    // R[i][j] (column vectors) is axes[j][i].
    const auto R = [&](int i, int j) { return axes[j][i]; };
    double x, y, z, w;
    const double trace = R(0, 0) + R(1, 1) + R(2, 2);
    if (trace > 0) {
        const double k = 0.5 / std::sqrt(trace + 1);
        w = 0.25 / k, x = (R(2, 1) - R(1, 2)) * k, y = (R(0, 2) - R(2, 0)) * k,
        z = (R(1, 0) - R(0, 1)) * k;
    } else if (R(0, 0) > R(1, 1) && R(0, 0) > R(2, 2)) {
        const double k = 2 * std::sqrt(1 + R(0, 0) - R(1, 1) - R(2, 2));
        w = (R(2, 1) - R(1, 2)) / k, x = 0.25 * k, y = (R(0, 1) + R(1, 0)) / k,
        z = (R(0, 2) + R(2, 0)) / k;
    } else if (R(1, 1) > R(2, 2)) {
        const double k = 2 * std::sqrt(1 + R(1, 1) - R(0, 0) - R(2, 2));
        w = (R(0, 2) - R(2, 0)) / k, x = (R(0, 1) + R(1, 0)) / k, y = 0.25 * k,
        z = (R(1, 2) + R(2, 1)) / k;
    } else {
        const double k = 2 * std::sqrt(1 + R(2, 2) - R(0, 0) - R(1, 1));
        w = (R(1, 0) - R(0, 1)) / k, x = (R(0, 2) + R(2, 0)) / k, y = (R(1, 2) + R(2, 1)) / k,
        z = 0.25 * k;
    }
    const double length = std::sqrt(x * x + y * y + z * z + w * w);
    q[0] = x / length, q[1] = y / length, q[2] = z / length, q[3] = w / length;
    t[0] = local.m[3][0], t[1] = local.m[3][1], t[2] = local.m[3][2];
    return true;
}

double MaxAbs(const Matrix &m, int firstRow, int lastRow) {
    double largest = 0;
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 0; c < 3; ++c)
            largest = std::max(largest, std::fabs(m.m[r][c]));
    return largest;
}

// Whether `now` is `expected` up to the single precision the scene keeps
// placements in: then the node has not moved relative to its parent.
bool SamePlacement(const Matrix &expected, const Matrix &now, double positionScale) {
    const double axes = 1e-6 * std::max(MaxAbs(expected, 0, 2), MaxAbs(now, 0, 2));
    const double position =
        1e-6 * std::max({MaxAbs(expected, 3, 3), MaxAbs(now, 3, 3), positionScale});
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            if (std::fabs(expected.m[r][c] - now.m[r][c]) > (r < 3 ? axes : position))
                return false;
    return true;
}

bool IsWord(const std::string &name) {
    if (name.empty())
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == '#' || c == ':' || c == 0x7f)
            return false;
    return true;
}

// "node<K>" for some K: the form of the names given to nodes without one.
bool LooksGenerated(const std::string &name) {
    return name.size() > 4 && name.compare(0, 4, "node") == 0 &&
           std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The shortest text that reads back as exactly `value`.
void AppendNumber(std::string &out, double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void AppendList(std::string &out, const char *key, const double *values, int count) {
    out += '"';
    out += key;
    out += "\":[";
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            out += ',';
        AppendNumber(out, values[i]);
    }
    out += ']';
}

bool EndsWithGlb(const std::string &path) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension == ".glb";
}

} // namespace

namespace {

struct ViewEntry {
    std::uint64_t buffer = kNone, byteOffset = 0, byteLength = kNone, byteStride = 0;
    bool compressed = false; // its bytes are a meshopt stream's output, not in the file
};

struct SparseEntry {
    bool present = false;
    std::uint64_t count = kNone, indexView = kNone, indexOffset = 0, indexType = 0;
    std::uint64_t valueView = kNone, valueOffset = 0;
};

struct AccessorEntry {
    std::uint64_t view = kNone, byteOffset = 0, componentType = 0, count = kNone;
    int components = 0; // 0 until its type is read
    bool matrix = false;
    bool normalized = false;
    std::vector<double> min, max;
    SparseEntry sparse;
};

struct PrimitiveEntry {
    std::vector<std::pair<std::string, std::uint64_t>> attributes;
    std::uint64_t indices = kNone;
    bool draco = false; // its geometry is compressed: the accessors carry no data
};

struct NodeEntry {
    std::string name;
    std::uint64_t mesh = kNone;
    std::size_t firstChild = 0, childCount = 0;
};

// What the JSON says, gathered in one pass before anything is checked.
struct Parsed {
    std::vector<std::string> required;
    std::uint64_t scene = kNone;
    std::vector<std::vector<std::uint64_t>> scenes;
    std::vector<NodeEntry> nodes;
    std::vector<std::uint64_t> children;
    std::vector<std::vector<PrimitiveEntry>> meshes;
    std::vector<AccessorEntry> accessors;
    std::vector<ViewEntry> views;
    std::vector<std::pair<std::string, std::uint64_t>> animated; // where, node
};

// A member of an object being read; a parse error ends the read.
json::field FieldOf(simdjson::simdjson_result<json::field> &&result) {
    json::field field;
    if (const simdjson::error_code error = std::move(result).get(field))
        throw simdjson::simdjson_error(error);
    return field;
}

std::uint64_t ComponentSize(std::uint64_t componentType) {
    switch (componentType) {
    case 5120:
    case 5121:
        return 1;
    case 5122:
    case 5123:
        return 2;
    case 5125:
    case 5126:
        return 4;
    default:
        return 0;
    }
}

// Bytes of one element; the columns of small matrices start on 4-byte boundaries.
std::uint64_t ElementSize(const AccessorEntry &accessor) {
    const std::uint64_t component = ComponentSize(accessor.componentType);
    if (accessor.matrix && component < 4) {
        const std::uint64_t columns = accessor.components == 4   ? 2
                                      : accessor.components == 9 ? 3
                                                                 : 4;
        return columns * ((columns * component + 3) / 4 * 4);
    }
    return component * std::uint64_t(accessor.components);
}

// Reads the JSON text through simdjson's on-demand parser: every value this
// program uses is read where it stands, the rest is passed over without
// recursion, and the spans of the members a save rewrites are noted.
class Reader {
public:
    Reader(const std::string &path, const char *text, json::document &doc, Parsed &parsed,
           GltfFile::Content &content)
        : path_(path), text_(text), doc_(doc), parsed_(parsed), content_(content) {}

    void Read() {
        json::object root = doc_.get_object().value();
        for (auto item : root) {
            json::field field = FieldOf(std::move(item));
            const std::string_view key = field.unescaped_key().value();
            json::value value = field.value();
            if (key == "nodes")
                Nodes(value);
            else if (key == "scenes")
                Scenes(value);
            else if (key == "scene")
                parsed_.scene = Whole(value, "scene", kNone - 1);
            else if (key == "meshes")
                Meshes(value);
            else if (key == "accessors")
                Accessors(value);
            else if (key == "bufferViews")
                Views(value);
            else if (key == "buffers")
                Buffers(value);
            else if (key == "images")
                Images(value);
            else if (key == "animations")
                Animations(value);
            else if (key == "extensionsRequired")
                Required(value);
            else
                Skip(value, 2);
        }
        if (doc_.current_location().error() != simdjson::OUT_OF_BOUNDS)
            Fail("broken JSON: something follows the top-level object");
    }

private:
    [[noreturn]] void Fail(const std::string &problem) const { throw Bad(path_, problem); }

    std::uint32_t Offset(const char *at) const { return std::uint32_t(at - text_); }

    // Where the value just read ends, trailing blanks left out.
    std::uint32_t EndOfValue() {
        const char *at = doc_.current_location().value();
        while (at > text_ && IsSpace(at[-1]))
            --at;
        return Offset(at);
    }

    static json::json_type Type(json::value &value) { return value.type().value(); }

    // What a value is, for a message: given as words, or as a callable that
    // makes them, so that the common case of a good file builds no message.
    static std::string Say(const std::string &what) { return what; }
    static std::string Say(const char *what) { return what; }
    template <class Describe> static std::string Say(const Describe &what) { return what(); }

    template <class What> json::array Array(json::value &value, const What &what) {
        if (Type(value) != json::json_type::array)
            Fail(Say(what) + " is not an array");
        return value.get_array().value();
    }

    template <class What> json::object Object(json::value &value, const What &what) {
        if (Type(value) != json::json_type::object)
            Fail(Say(what) + " is not an object");
        return value.get_object().value();
    }

    // A whole number from 0 to `largest`.
    template <class What>
    std::uint64_t Whole(json::value &value, const What &what, std::uint64_t largest) {
        if (Type(value) != json::json_type::number)
            Fail(Say(what) + " is not a number");
        json::number number;
        if (value.get_number().get(number) != simdjson::SUCCESS)
            Fail(Say(what) + " is not a number this program can read");
        std::uint64_t result = 0;
        switch (number.get_number_type()) {
        case json::number_type::signed_integer:
            if (number.get_int64() < 0)
                Fail(Say(what) + " " + std::to_string(number.get_int64()) + " is negative");
            result = std::uint64_t(number.get_int64());
            break;
        case json::number_type::unsigned_integer:
            result = number.get_uint64();
            break;
        default:
            Fail(Say(what) + " is not a whole number");
        }
        if (result > largest)
            Fail(Say(what) + " " + std::to_string(result) + " is more than " +
                 std::to_string(largest));
        return result;
    }

    // Sizes and offsets: beyond 2^53 bytes nothing fits in any file.
    template <class What> std::uint64_t Size(json::value &value, const What &what) {
        return Whole(value, what, std::uint64_t(1) << 53);
    }

    template <class What> std::string String(json::value &value, const What &what) {
        if (Type(value) != json::json_type::string)
            Fail(Say(what) + " is not a string");
        return std::string(value.get_string().value());
    }

    template <class What> bool Bool(json::value &value, const What &what) {
        if (Type(value) != json::json_type::boolean)
            Fail(Say(what) + " is not true or false");
        return value.get_bool().value();
    }

    // An array of finite numbers into `out`: empty or exactly `count` of them
    // (`atMost`: up to `count`). Answers how many.
    template <class Problem>
    std::size_t Numbers(json::value &value, double *out, std::size_t count, bool atMost,
                        const Problem &problem) {
        if (Type(value) != json::json_type::array)
            Fail(Say(problem));
        std::size_t read = 0;
        json::array array = value.get_array().value();
        for (auto element : array) {
            json::value item = element.value();
            double number = 0;
            if (read == count || Type(item) != json::json_type::number ||
                item.get_double().get(number) != simdjson::SUCCESS || !std::isfinite(number))
                Fail(Say(problem));
            out[read++] = number;
        }
        if (!atMost && read != 0 && read != count)
            Fail(Say(problem));
        return read;
    }

    // Passes over a value of any shape, checking it, with an explicit stack:
    // nesting is bounded here, and no recursion follows what the file nests.
    void Skip(json::value &value, int depth) {
        struct Frame {
            bool isArray = false, started = false;
            json::array_iterator element, elementsEnd;
            json::object_iterator member, membersEnd;
        };
        std::vector<Frame> stack;
        const auto enter = [&](json::value &at) {
            switch (Type(at)) {
            case json::json_type::array:
            case json::json_type::object: {
                if (depth + int(stack.size()) > kMaxDepth)
                    Fail("objects and arrays nest deeper than " + std::to_string(kMaxDepth) +
                         " levels");
                Frame frame;
                if (Type(at) == json::json_type::array) {
                    json::array array = at.get_array().value();
                    frame.isArray = true;
                    frame.element = array.begin().value();
                    frame.elementsEnd = array.end().value();
                } else {
                    json::object object = at.get_object().value();
                    frame.member = object.begin().value();
                    frame.membersEnd = object.end().value();
                }
                stack.push_back(frame);
                break;
            }
            case json::json_type::number:
                at.get_double().value();
                break;
            case json::json_type::string:
                at.get_string().value();
                break;
            case json::json_type::boolean:
                at.get_bool().value();
                break;
            case json::json_type::null:
                if (!at.is_null())
                    throw simdjson::simdjson_error(simdjson::INCORRECT_TYPE);
                break;
            }
        };
        enter(value);
        while (!stack.empty()) {
            Frame &frame = stack.back();
            json::value child;
            if (frame.isArray) {
                if (frame.started)
                    ++frame.element;
                frame.started = true;
                if (!(frame.element != frame.elementsEnd)) {
                    stack.pop_back();
                    continue;
                }
                child = (*frame.element).value();
            } else {
                if (frame.started)
                    ++frame.member;
                frame.started = true;
                if (!(frame.member != frame.membersEnd)) {
                    stack.pop_back();
                    continue;
                }
                json::field field = FieldOf(*frame.member);
                field.unescaped_key().value();
                child = field.value();
            }
            enter(child);
        }
    }

    // Calls `each(value, index)` for every element of the array `value`.
    template <class Each> void ForEach(json::value &value, const std::string &what, Each each) {
        std::size_t index = 0;
        for (auto element : Array(value, what)) {
            json::value item = element.value();
            each(item, index++);
        }
    }

    // Calls `each(key, value)` for every member of the object `value`.
    template <class Each> void Members(json::value &value, const std::string &what, Each each) {
        for (auto item : Object(value, what)) {
            json::field field = FieldOf(std::move(item));
            const std::string key(field.unescaped_key().value());
            json::value member = field.value();
            each(key, member);
        }
    }

    void Nodes(json::value &value) {
        // Counted first (a pass that only skips), so that each list is made once.
        json::array nodes = Array(value, "nodes");
        const std::size_t count = nodes.count_elements().value();
        parsed_.nodes.reserve(count);
        parsed_.children.reserve(count);
        content_.locals.reserve(count);
        content_.text.reserve(count);
        std::size_t index = 0;
        for (auto element : nodes) {
            json::value item = element.value();
            ReadNode(item, index++);
        }
    }

    void ReadNode(json::value &item, std::size_t index) {
        {
            const auto where = [index] { return "node " + std::to_string(index); };
            if (Type(item) != json::json_type::object)
                Fail(where() + " is not an object");
            NodeText text;
            text.open = Offset(item.raw_json_token().data());
            NodeEntry entry;
            Transform transform;
            entry.firstChild = parsed_.children.size();
            json::object object = item.get_object().value();
            for (auto member : object) {
                json::field field = FieldOf(std::move(member));
                text.hasMembers = true;
                const char *keyStart = field.key().raw() - 1;
                const std::string_view key = field.unescaped_key().value();
                json::value at = field.value();
                const int which = key == "matrix"        ? NodeText::MATRIX
                                  : key == "translation" ? NodeText::TRANSLATION
                                  : key == "rotation"    ? NodeText::ROTATION
                                  : key == "scale"       ? NodeText::SCALE
                                                         : -1;
                if (which >= 0) {
                    const char *const names[] = {"matrix", "translation", "rotation", "scale"};
                    if (text.members[which].Present())
                        Fail(where() + ": " + names[which] + " is given twice");
                    const std::size_t count = which == NodeText::MATRIX     ? 16
                                              : which == NodeText::ROTATION ? 4
                                                                            : 3;
                    double *lists[] = {transform.matrix, transform.translation, transform.rotation,
                                       transform.scale};
                    transform.counts[which] = Numbers(at, lists[which], count, false, [&] {
                        return where() + ": " + names[which] + " is not " + std::to_string(count) +
                               " finite numbers";
                    });
                    text.members[which] = {Offset(keyStart), EndOfValue()};
                } else if (key == "name") {
                    entry.name = String(at, [&] { return where() + ": name"; });
                } else if (key == "mesh") {
                    entry.mesh = Whole(
                        at, [&] { return where() + ": mesh"; }, kNone - 1);
                } else if (key == "children") {
                    for (auto element : Array(at, [&] { return where() + ": children"; })) {
                        json::value child = element.value();
                        parsed_.children.push_back(Whole(
                            child, [&] { return where() + ": child"; }, kNone - 1));
                    }
                } else {
                    Skip(at, 4);
                }
            }
            entry.childCount = parsed_.children.size() - entry.firstChild;
            content_.locals.push_back(LocalTransform(transform, index, path_));
            parsed_.nodes.push_back(std::move(entry));
            content_.text.push_back(text);
        }
    }

    void Scenes(json::value &value) {
        ForEach(value, "scenes", [&](json::value &item, std::size_t index) {
            const std::string where = "scene " + std::to_string(index);
            std::vector<std::uint64_t> roots;
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key == "nodes")
                    ForEach(at, where + ": nodes", [&](json::value &root, std::size_t) {
                        roots.push_back(Whole(root, where + ": node", kNone - 1));
                    });
                else
                    Skip(at, 4);
            });
            parsed_.scenes.push_back(std::move(roots));
        });
    }

    void Meshes(json::value &value) {
        ForEach(value, "meshes", [&](json::value &item, std::size_t index) {
            const std::string where = "mesh " + std::to_string(index);
            std::vector<PrimitiveEntry> primitives;
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key != "primitives")
                    return Skip(at, 4);
                ForEach(at, where + ": primitives", [&](json::value &one, std::size_t) {
                    PrimitiveEntry primitive;
                    Members(one, where + ": primitive",
                            [&](const std::string &name, json::value &field) {
                                if (name == "attributes")
                                    Members(
                                        field, where + ": attributes",
                                        [&](const std::string &attribute, json::value &accessor) {
                                            primitive.attributes.emplace_back(
                                                attribute,
                                                Whole(accessor,
                                                      where + ": " + Shown(attribute) + " accessor",
                                                      kNone - 1));
                                        });
                                else if (name == "indices")
                                    primitive.indices =
                                        Whole(field, where + ": index accessor", kNone - 1);
                                else if (name == "extensions")
                                    Members(field, where + ": extensions",
                                            [&](const std::string &extension, json::value &body) {
                                                primitive.draco |=
                                                    extension == "KHR_draco_mesh_compression";
                                                Skip(body, 8);
                                            });
                                else
                                    Skip(field, 6);
                            });
                    primitives.push_back(std::move(primitive));
                });
            });
            parsed_.meshes.push_back(std::move(primitives));
        });
    }

    void Accessors(json::value &value) {
        ForEach(value, "accessors", [&](json::value &item, std::size_t index) {
            const std::string where = "accessor " + std::to_string(index);
            AccessorEntry accessor;
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key == "bufferView")
                    accessor.view = Whole(at, where + ": buffer view", kNone - 1);
                else if (key == "byteOffset")
                    accessor.byteOffset = Size(at, where + ": byteOffset");
                else if (key == "componentType")
                    accessor.componentType = Whole(at, where + ": componentType", kNone - 1);
                else if (key == "normalized")
                    accessor.normalized = Bool(at, where + ": normalized");
                else if (key == "count")
                    accessor.count = Whole(at, where + ": count", kMaxCount);
                else if (key == "type") {
                    const std::string type = String(at, where + ": type");
                    const char *const names[] = {"SCALAR", "VEC2", "VEC3", "VEC4",
                                                 "MAT2",   "MAT3", "MAT4"};
                    const int sizes[] = {1, 2, 3, 4, 4, 9, 16};
                    for (int i = 0; i < 7; ++i)
                        if (type == names[i])
                            accessor.components = sizes[i], accessor.matrix = i >= 4;
                    if (accessor.components == 0)
                        Fail(where + ": type " + Shown(type) + " is not an accessor type");
                } else if (key == "min" || key == "max") {
                    double numbers[16];
                    const std::size_t read = Numbers(
                        at, numbers, 16, true, where + ": " + key + " is not a list of numbers");
                    (key == "min" ? accessor.min : accessor.max).assign(numbers, numbers + read);
                } else if (key == "sparse")
                    Sparse(at, where, accessor.sparse);
                else
                    Skip(at, 4);
            });
            parsed_.accessors.push_back(std::move(accessor));
        });
    }

    void Sparse(json::value &value, const std::string &accessor, SparseEntry &sparse) {
        const std::string where = accessor + ": sparse";
        sparse.present = true;
        Members(value, where, [&](const std::string &key, json::value &at) {
            if (key == "count")
                sparse.count = Whole(at, where + " count", kMaxCount);
            else if (key == "indices" || key == "values")
                Members(at, where + " " + key, [&](const std::string &name, json::value &field) {
                    const bool indices = key == "indices";
                    if (name == "bufferView")
                        (indices ? sparse.indexView : sparse.valueView) =
                            Whole(field, where + " " + key + " buffer view", kNone - 1);
                    else if (name == "byteOffset")
                        (indices ? sparse.indexOffset : sparse.valueOffset) =
                            Size(field, where + " " + key + " byteOffset");
                    else if (name == "componentType" && indices)
                        sparse.indexType = Whole(field, where + " indices componentType", kNone);
                    else
                        Skip(field, 7);
                });
            else
                Skip(at, 5);
        });
    }

    void Views(json::value &value) {
        ForEach(value, "bufferViews", [&](json::value &item, std::size_t index) {
            const std::string where = "buffer view " + std::to_string(index);
            ViewEntry view;
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key == "buffer")
                    view.buffer = Whole(at, where + ": buffer", kNone - 1);
                else if (key == "byteOffset")
                    view.byteOffset = Size(at, where + ": byteOffset");
                else if (key == "byteLength")
                    view.byteLength = Size(at, where + ": byteLength");
                else if (key == "byteStride")
                    view.byteStride = Size(at, where + ": byteStride");
                else if (key == "extensions")
                    Members(at, where + ": extensions",
                            [&](const std::string &extension, json::value &body) {
                                view.compressed |= extension == "EXT_meshopt_compression" ||
                                                   extension == "KHR_meshopt_compression";
                                Skip(body, 6);
                            });
                else
                    Skip(at, 4);
            });
            parsed_.views.push_back(view);
        });
    }

    void Buffers(json::value &value) {
        ForEach(value, "buffers", [&](json::value &item, std::size_t index) {
            const std::string where = "buffer " + std::to_string(index);
            if (Type(item) != json::json_type::object)
                Fail(where + " is not an object");
            BufferEntry buffer;
            buffer.open = Offset(item.raw_json_token().data());
            json::object object = item.get_object().value();
            for (auto member : object) {
                json::field field = FieldOf(std::move(member));
                buffer.hasMembers = true;
                const char *keyStart = field.key().raw() - 1;
                const std::string key(field.unescaped_key().value());
                json::value at = field.value();
                if (key == "uri") {
                    buffer.uri = String(at, where + ": uri");
                    buffer.hasUri = true;
                    buffer.uriMember = {Offset(keyStart), EndOfValue()};
                } else if (key == "byteLength") {
                    buffer.byteLength = Size(at, where + ": byteLength");
                } else if (key == "extensions") {
                    Members(at, where + ": extensions",
                            [&](const std::string &extension, json::value &body) {
                                buffer.fallback |= extension == "EXT_meshopt_compression" ||
                                                   extension == "KHR_meshopt_compression";
                                Skip(body, 6);
                            });
                } else {
                    Skip(at, 4);
                }
            }
            content_.buffers.push_back(std::move(buffer));
        });
    }

    void Images(json::value &value) {
        ForEach(value, "images", [&](json::value &item, std::size_t index) {
            const std::string where = "image " + std::to_string(index);
            ImageEntry image;
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key != "uri")
                    return Skip(at, 4);
                const std::string uri = String(at, where + ": uri");
                image.name = ParseUri(uri);
                if (!image.name.problem.empty())
                    Fail(where + ": its uri " + Shown(uri) +
                         " cannot be used: " + image.name.problem);
            });
            content_.images.push_back(std::move(image));
        });
    }

    void Animations(json::value &value) {
        ForEach(value, "animations", [&](json::value &item, std::size_t index) {
            const std::string where = "animation " + std::to_string(index);
            Members(item, where, [&](const std::string &key, json::value &at) {
                if (key != "channels")
                    return Skip(at, 4);
                ForEach(at, where + ": channels", [&](json::value &channel, std::size_t c) {
                    const std::string place = where + ": channel " + std::to_string(c);
                    Members(channel, place, [&](const std::string &name, json::value &field) {
                        if (name != "target")
                            return Skip(field, 6);
                        Members(field, place + ": target",
                                [&](const std::string &part, json::value &node) {
                                    if (part == "node")
                                        parsed_.animated.emplace_back(
                                            place, Whole(node, place + ": node", kNone - 1));
                                    else
                                        Skip(node, 8);
                                });
                    });
                });
            });
        });
    }

    void Required(json::value &value) {
        ForEach(value, "extensionsRequired", [&](json::value &item, std::size_t index) {
            if (Type(item) != json::json_type::string)
                Fail("extensionsRequired: entry " + std::to_string(index) +
                     " is not the name of an extension (a string)");
            parsed_.required.emplace_back(item.get_string().value());
        });
    }

    const std::string &path_;
    const char *text_;
    json::document &doc_;
    Parsed &parsed_;
    GltfFile::Content &content_;
};

} // namespace

namespace {

std::string Corrupt(const std::string &reason) {
    return "a truncated or corrupt binary glTF file (" + reason + ")";
}

// The chunks of a .glb: where its JSON lies, and its BIN chunk if it has one.
void SplitBinary(const std::string &path, GltfFile::Content &content, std::size_t &binBegin,
                 std::size_t &binLength, bool &hasBin) {
    const std::string &bytes = content.bytes;
    if (bytes.size() < 12)
        throw Bad(path, Corrupt("shorter than its 12-byte header"));
    const std::uint32_t version = Word32(bytes, 4);
    if (version != 2)
        throw Bad(path, "binary glTF version " + std::to_string(version) +
                            " is not supported; only glTF 2.0 can be loaded");
    if (Word32(bytes, 8) != bytes.size())
        throw Bad(path, Corrupt("its header declares " + std::to_string(Word32(bytes, 8)) +
                                " bytes, the file has " + std::to_string(bytes.size())));
    if (bytes.size() < 20 || Word32(bytes, 16) != kJsonChunk)
        throw Bad(path, Corrupt("it has no JSON chunk"));
    const std::size_t jsonLength = Word32(bytes, 12);
    if (jsonLength > bytes.size() - 20)
        throw Bad(path, Corrupt("its JSON chunk runs past the end of the file"));
    content.jsonBegin = 20;
    content.jsonLength = jsonLength;
    content.afterJson = 20 + jsonLength;
    hasBin = false;
    const std::size_t rest = bytes.size() - content.afterJson;
    if (rest == 0)
        return;
    if (rest < 8)
        throw Bad(path, Corrupt("a chunk header is cut short"));
    if (Word32(bytes, content.afterJson + 4) != kBinaryChunk)
        return;
    binLength = Word32(bytes, content.afterJson);
    if (binLength > rest - 8)
        throw Bad(path, Corrupt("its BIN chunk runs past the end of the file"));
    binBegin = content.afterJson + 8;
    hasBin = true;
}

// simdjson's words for a parse error, without its code name.
std::string ParseErrorWords(simdjson::error_code error) {
    std::string words = simdjson::error_message(error);
    const std::size_t colon = words.find(": ");
    if (colon != std::string::npos && colon < 30)
        words = words.substr(colon + 2);
    while (!words.empty() && (words.back() == '.' || words.back() == ' '))
        words.pop_back();
    return words;
}

// The version the file declares, read before anything else: a glTF 1.0 file
// is told as such, not by what of its different layout fails first.
std::string DeclaredVersion(json::document &doc, bool &found) {
    found = false;
    json::object root;
    json::value asset, version;
    json::object fields;
    std::string_view text;
    if (doc.get_object().get(root) || root.find_field_unordered("asset").get(asset) ||
        asset.get_object().get(fields) || fields.find_field_unordered("version").get(version) ||
        version.get_string().get(text))
        return {};
    found = true;
    return std::string(text);
}

const char *ReadProblem(ReadResult result) {
    switch (result) {
    case ReadResult::OUTSIDE:
        return "leads outside the file's folder";
    case ReadResult::NOT_REGULAR:
        return "is not a regular file";
    case ReadResult::TOO_LARGE:
        return "is larger than this program reads (1 GiB)";
    default:
        return "cannot be read";
    }
}

// Each buffer's bytes: the BIN chunk, a data uri, or a file inside the folder.
void LoadBuffers(const std::string &path, GltfFile::Content &content, bool hasBin,
                 std::size_t binBegin, std::size_t binLength) {
    const std::string folder = fs::path(path).parent_path().string();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < content.buffers.size(); ++i) {
        BufferEntry &buffer = content.buffers[i];
        const std::string where = "buffer " + std::to_string(i);
        if (buffer.byteLength == kNone)
            throw Bad(path, where + " has no byteLength");
        total += buffer.byteLength;
        if (buffer.byteLength > kMaxFileBytes || total > kMaxBufferBytes)
            throw Bad(path, where + ": its byteLength " + std::to_string(buffer.byteLength) +
                                " takes the buffers past what this program reads (1 GiB "
                                "each, 2 GiB in all)");
        if (!buffer.hasUri) {
            if (content.binary && i == 0 && hasBin) {
                if (binLength < buffer.byteLength)
                    throw Bad(path,
                              Corrupt("its BIN chunk holds " + std::to_string(binLength) +
                                      " bytes, fewer than the " +
                                      std::to_string(buffer.byteLength) + " buffer 0 declares"));
                buffer.data = content.bytes.substr(binBegin, std::size_t(buffer.byteLength));
                buffer.hasData = true;
            } else if (!buffer.fallback) {
                throw Bad(path, where + " has no data: no uri, and it is not the binary "
                                        "file's BIN chunk");
            }
            continue;
        }
        buffer.name = ParseUri(buffer.uri);
        if (buffer.name.isData) {
            std::string problem;
            if (!DecodeDataUri(buffer.uri, buffer.data, problem))
                throw Bad(path, where + ": " + problem);
            if (buffer.data.size() < buffer.byteLength)
                throw Bad(path, where + ": its data uri holds " +
                                    std::to_string(buffer.data.size()) + " bytes, fewer than the " +
                                    std::to_string(buffer.byteLength) + " it declares");
            buffer.data.resize(std::size_t(buffer.byteLength));
            buffer.hasData = true;
            continue;
        }
        if (!buffer.name.problem.empty())
            throw Bad(path, where + ": its uri " + Shown(buffer.uri) +
                                " cannot be used: " + buffer.name.problem);
        std::uint64_t size = 0;
        const ReadResult read =
            ReadInside(folder, buffer.name, buffer.byteLength, buffer.data, size);
        switch (read) {
        case ReadResult::OK:
            buffer.hasData = true;
            break;
        case ReadResult::MISSING:
            throw Bad(path, "a buffer is missing: file not found: " + Shown(buffer.uri));
        case ReadResult::TOO_SHORT:
            throw Bad(path, where + ": its file " + Shown(buffer.uri) + " holds " +
                                std::to_string(size) + " bytes, fewer than the " +
                                std::to_string(buffer.byteLength) + " it declares");
        case ReadResult::FAILED:
            throw GltfError(GltfError::UNREADABLE, "cannot read " + Shown(buffer.uri) + " (" +
                                                       where + " of " + Quote(path) + ")");
        default:
            throw Bad(path, where + ": its file " + Shown(buffer.uri) + " " + ReadProblem(read));
        }
    }
    // Images are not read; one beside the file must still be a file inside its folder.
    for (std::size_t i = 0; i < content.images.size(); ++i) {
        const ImageEntry &image = content.images[i];
        if (image.name.steps.empty())
            continue;
        std::string none;
        std::uint64_t size = 0;
        const ReadResult read = ReadInside(folder, image.name, 0, none, size);
        if (read == ReadResult::OUTSIDE || read == ReadResult::NOT_REGULAR)
            throw Bad(path, "image " + std::to_string(i) + ": its file " +
                                Shown(image.name.Joined()) + " " + ReadProblem(read));
    }
}

double Normalized(double value, std::uint64_t componentType) {
    switch (componentType) {
    case 5120:
        return std::max(value / 127, -1.0);
    case 5121:
        return value / 255;
    case 5122:
        return std::max(value / 32767, -1.0);
    case 5123:
        return value / 65535;
    default:
        return value;
    }
}

std::uint32_t ReadIndex(const unsigned char *at, std::uint64_t size) {
    if (size == 1)
        return *at;
    if (size == 2)
        return std::uint32_t(at[0] | at[1] << 8);
    std::uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

// Buffer views and accessors: every byte an accessor names lies inside its
// buffer view, and every view inside its buffer.
void CheckAccessors(const std::string &path, const Parsed &parsed,
                    const GltfFile::Content &content) {
    for (std::size_t v = 0; v < parsed.views.size(); ++v) {
        const ViewEntry &view = parsed.views[v];
        const std::string where = "buffer view " + std::to_string(v);
        if (view.buffer == kNone)
            throw Bad(path, where + " names no buffer");
        if (view.buffer >= content.buffers.size())
            throw Bad(path, where + ": buffer " + std::to_string(view.buffer) +
                                " is out of range (the file has " +
                                std::to_string(content.buffers.size()) + ")");
        if (view.byteLength == kNone)
            throw Bad(path, where + " has no byteLength");
        if (view.byteOffset + view.byteLength > content.buffers[view.buffer].byteLength)
            throw Bad(path, where + ": bytes " + std::to_string(view.byteOffset) + " to " +
                                std::to_string(view.byteOffset + view.byteLength) +
                                " lie beyond its buffer's " +
                                std::to_string(content.buffers[view.buffer].byteLength));
        if (view.byteStride != 0 && (view.byteStride < 4 || view.byteStride > 252))
            throw Bad(path, where + ": byteStride " + std::to_string(view.byteStride) +
                                " is not between 4 and 252");
    }
    const auto viewAt = [&](std::uint64_t v, const std::string &where) -> const ViewEntry & {
        if (v >= parsed.views.size())
            throw Bad(path, where + ": buffer view " + std::to_string(v) +
                                " is out of range (the file has " +
                                std::to_string(parsed.views.size()) + ")");
        return parsed.views[v];
    };
    for (std::size_t a = 0; a < parsed.accessors.size(); ++a) {
        const AccessorEntry &accessor = parsed.accessors[a];
        const std::string where = "accessor " + std::to_string(a);
        if (ComponentSize(accessor.componentType) == 0)
            throw Bad(path, where + ": componentType " + std::to_string(accessor.componentType) +
                                " is not a component type");
        if (accessor.components == 0)
            throw Bad(path, where + " has no type");
        if (accessor.count == kNone || accessor.count == 0)
            throw Bad(path, where + " has no count of at least 1");
        const std::uint64_t size = ElementSize(accessor);
        if (accessor.view != kNone) {
            const ViewEntry &view = viewAt(accessor.view, where);
            const std::uint64_t stride = view.byteStride ? view.byteStride : size;
            if (stride < size)
                throw Bad(path, where + ": its elements of " + std::to_string(size) +
                                    " bytes are wider than their stride " + std::to_string(stride));
            const std::uint64_t end = accessor.byteOffset + stride * (accessor.count - 1) + size;
            if (end > view.byteLength)
                throw Bad(path, where + ": its " + std::to_string(accessor.count) +
                                    " elements need " + std::to_string(end) +
                                    " bytes of buffer view " + std::to_string(accessor.view) +
                                    ", which has " + std::to_string(view.byteLength));
        }
        const SparseEntry &sparse = accessor.sparse;
        if (!sparse.present)
            continue;
        if (sparse.count == kNone || sparse.count == 0 || sparse.count > accessor.count)
            throw Bad(path, where + ": its sparse count is not between 1 and its count " +
                                std::to_string(accessor.count));
        const std::uint64_t indexSize = ComponentSize(sparse.indexType);
        if (sparse.indexType != 5121 && sparse.indexType != 5123 && sparse.indexType != 5125)
            throw Bad(path, where + ": its sparse indices are not unsigned integers");
        if (sparse.indexView == kNone || sparse.valueView == kNone)
            throw Bad(path, where + ": its sparse data names no buffer view");
        const ViewEntry &indices = viewAt(sparse.indexView, where + ": sparse indices");
        const ViewEntry &values = viewAt(sparse.valueView, where + ": sparse values");
        if (sparse.indexOffset + sparse.count * indexSize > indices.byteLength ||
            sparse.valueOffset + sparse.count * size > values.byteLength)
            throw Bad(path, where + ": its sparse data runs past the end of its buffer view");
        const BufferEntry &buffer = content.buffers[indices.buffer];
        if (!buffer.hasData || indices.compressed)
            continue;
        const unsigned char *at = reinterpret_cast<const unsigned char *>(buffer.data.data()) +
                                  indices.byteOffset + sparse.indexOffset;
        std::uint64_t previous = 0;
        for (std::uint64_t i = 0; i < sparse.count; ++i) {
            const std::uint64_t index = ReadIndex(at + i * indexSize, indexSize);
            if (index >= accessor.count || (i > 0 && index <= previous))
                throw Bad(path, where + ": its sparse indices are not increasing and below "
                                        "its count");
            previous = index;
        }
    }
}

struct Bounds {
    bool bounded = false;
    dg::DVec3 low, high;
};

// Checks mesh `index` as far as drawing it needs: its accessors exist, its
// indices are unsigned integers, and every one names a vertex it has.
// Answers its bounds, from the positions' min and max.
Bounds CheckMesh(const std::string &path, const Parsed &parsed, const GltfFile::Content &content,
                 std::size_t index) {
    const std::string where = "mesh " + std::to_string(index);
    Bounds bounds;
    const auto accessorAt = [&](std::uint64_t a, const std::string &role) -> const AccessorEntry & {
        if (a >= parsed.accessors.size())
            throw Bad(path, where + ": " + role + " accessor " + std::to_string(a) +
                                " is out of range (the file has " +
                                std::to_string(parsed.accessors.size()) + ")");
        return parsed.accessors[a];
    };
    for (const PrimitiveEntry &primitive : parsed.meshes[index]) {
        std::uint64_t vertices = kNone;
        for (const auto &[role, a] : primitive.attributes) {
            const AccessorEntry &accessor = accessorAt(a, Shown(role));
            if (role != "POSITION")
                continue;
            vertices = accessor.count;
            if (accessor.min.size() != 3 || accessor.max.size() != 3)
                continue;
            for (int i = 0; i < 3; ++i) {
                double lo = accessor.min[std::size_t(i)];
                double hi = accessor.max[std::size_t(i)];
                if (accessor.normalized)
                    lo = Normalized(lo, accessor.componentType),
                    hi = Normalized(hi, accessor.componentType);
                bounds.low[i] = bounds.bounded ? std::min(bounds.low[i], lo) : lo;
                bounds.high[i] = bounds.bounded ? std::max(bounds.high[i], hi) : hi;
            }
            bounds.bounded = true;
        }
        if (primitive.indices == kNone)
            continue;
        const AccessorEntry &indices = accessorAt(primitive.indices, "index");
        const std::uint64_t size = ComponentSize(indices.componentType);
        if (indices.components != 1 || indices.matrix ||
            (indices.componentType != 5121 && indices.componentType != 5123 &&
             indices.componentType != 5125))
            throw Bad(path, where + ": index accessor " + std::to_string(primitive.indices) +
                                " does not hold unsigned whole numbers, one per vertex");
        // Compressed geometry keeps no indices in the file to check.
        if (indices.view == kNone || primitive.draco || vertices == kNone)
            continue;
        const ViewEntry &view = parsed.views[indices.view];
        const BufferEntry &buffer = content.buffers[view.buffer];
        if (!buffer.hasData || view.compressed)
            continue;
        const std::uint64_t stride = view.byteStride ? view.byteStride : size;
        const unsigned char *start = reinterpret_cast<const unsigned char *>(buffer.data.data()) +
                                     view.byteOffset + indices.byteOffset;
        for (std::uint64_t i = 0; i < indices.count; ++i) {
            const std::uint32_t value = ReadIndex(start + i * stride, size);
            if (value >= vertices)
                throw Bad(path, where + ": vertex index " + std::to_string(value) +
                                    " is out of range (the primitive has " +
                                    std::to_string(vertices) + " vertices)");
        }
    }
    return bounds;
}

} // namespace

GltfFile::GltfFile() : content_(new Content) {}
GltfFile::GltfFile(GltfFile &&) noexcept = default;
GltfFile &GltfFile::operator=(GltfFile &&) noexcept = default;
GltfFile::~GltfFile() = default;

GltfFile GltfFile::Load(const std::string &path) {
    GltfFile file;
    file.path_ = path;
    Content &content = *file.content_;
    std::string reason;
    switch (ReadWholeFile(path, content.bytes, reason, simdjson::SIMDJSON_PADDING)) {
    case OpenResult::OK:
        break;
    case OpenResult::DIRECTORY:
        throw GltfError(GltfError::UNREADABLE, "cannot read " + Quote(path) + ": a directory");
    case OpenResult::NOT_REGULAR:
        throw GltfError(GltfError::UNREADABLE,
                        "cannot read " + Quote(path) + ": not a regular file");
    case OpenResult::TOO_LARGE:
        throw Bad(path, "too large (this program reads files of up to 1 GiB)");
    case OpenResult::MISSING_OR_DENIED:
        throw GltfError(GltfError::UNREADABLE, "cannot read " + Quote(path) + ": " + reason);
    }
    const std::string &bytes = content.bytes;
    content.binary = bytes.compare(0, 4, "glTF") == 0;
    std::size_t binBegin = 0, binLength = 0;
    bool hasBin = false;
    if (content.binary) {
        SplitBinary(path, content, binBegin, binLength, hasBin);
    } else {
        content.jsonLength = bytes.size();
        content.afterJson = bytes.size();
    }
    const char *text = bytes.data() + content.jsonBegin;
    const std::string_view json(text, content.jsonLength);
    const std::size_t start = json.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || json[start] != '{')
        throw Bad(path, content.binary ? Corrupt("its JSON chunk holds no JSON object")
                                       : "not a glTF file (neither JSON nor binary glTF)");

    Parsed parsed;
    try {
        // The parser's index of the text is freed as soon as the text is read.
        json::parser parser;
        json::document doc;
        const simdjson::padded_string_view padded(text, content.jsonLength,
                                                  bytes.capacity() - content.jsonBegin);
        const simdjson::error_code error = parser.iterate(padded).get(doc);
        if (error)
            throw simdjson::simdjson_error(error);
        bool declared = false;
        const std::string version = DeclaredVersion(doc, declared);
        if (declared && version.compare(0, 1, "2") != 0)
            throw Bad(path,
                      "glTF " + Shown(version) + " is not supported; only glTF 2.0 can be loaded");
        // A version read without fault leaves the document to be read again
        // from its start; an error on the way leaves it unusable, and a fresh
        // iteration meets the error where the full read reaches it.
        if (doc.is_alive())
            doc.rewind();
        else if (const simdjson::error_code again = parser.iterate(padded).get(doc))
            throw simdjson::simdjson_error(again);
        Reader(path, text, doc, parsed, content).Read();
        if (!declared)
            throw Bad(path, "not a glTF 2.0 file: it declares no asset version");
    } catch (const simdjson::simdjson_error &error) {
        throw Bad(path, std::string(content.binary ? "broken JSON in its JSON chunk: "
                                                   : "broken JSON: ") +
                            ParseErrorWords(error.error()));
    }
    for (const std::string &required : parsed.required) {
        const bool honoured = std::any_of(
            std::begin(kHonouredExtensions), std::end(kHonouredExtensions), [&](const char *known) {
                const std::string prefix = known;
                return prefix.back() == '_' ? required.compare(0, prefix.size(), prefix) == 0
                                            : required == prefix;
            });
        if (!honoured)
            throw Bad(path, "requires the extension " + Shown(required) +
                                ", which this program cannot honour");
    }

    LoadBuffers(path, content, hasBin, binBegin, binLength);
    CheckAccessors(path, parsed, content);
    std::vector<Bounds> meshes;
    meshes.reserve(parsed.meshes.size());
    for (std::size_t m = 0; m < parsed.meshes.size(); ++m)
        meshes.push_back(CheckMesh(path, parsed, content, m));

    // Parents, then the checks that make the nodes a forest.
    const std::size_t count = parsed.nodes.size();
    constexpr std::size_t kTop = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> parent(count, kTop);
    for (std::size_t i = 0; i < count; ++i) {
        const NodeEntry &node = parsed.nodes[i];
        for (std::size_t k = 0; k < node.childCount; ++k) {
            const std::uint64_t child = parsed.children[node.firstChild + k];
            if (child >= count)
                throw Bad(path, "node " + std::to_string(i) + ": child " + std::to_string(child) +
                                    " is out of range (the file has " + std::to_string(count) +
                                    " nodes)");
            if (parent[child] != kTop)
                throw Bad(path,
                          "node " + std::to_string(child) + " is the child of two parents (nodes " +
                              std::to_string(parent[child]) + " and " + std::to_string(i) + ")");
            parent[child] = i;
        }
    }
    parsed.children.shrink_to_fit();
    // 0 unknown, 1 on the walk in progress, 2 known to reach a top.
    std::vector<char> state(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = i;
        while (state[at] == 0 && parent[at] != kTop) {
            state[at] = 1;
            at = parent[at];
        }
        if (state[at] == 1)
            throw Bad(path, "node " + std::to_string(at) + " is its own ancestor");
        for (at = i; state[at] != 2; at = parent[at] == kTop ? at : parent[at])
            state[at] = 2;
    }

    std::vector<std::size_t> roots;
    if (parsed.scene != kNone && parsed.scene >= parsed.scenes.size())
        throw Bad(path, "scene " + std::to_string(parsed.scene) +
                            " is out of range (the file has " +
                            std::to_string(parsed.scenes.size()) + ")");
    if (!parsed.scenes.empty()) {
        const std::size_t scene = parsed.scene != kNone ? std::size_t(parsed.scene) : 0;
        std::vector<bool> listed(count, false);
        for (const std::uint64_t root : parsed.scenes[scene]) {
            if (root >= count)
                throw Bad(path, "scene " + std::to_string(scene) + ": node " +
                                    std::to_string(root) + " is out of range (the file has " +
                                    std::to_string(count) + " nodes)");
            if (parent[root] != kTop)
                throw Bad(path, "node " + std::to_string(root) + " is a root of scene " +
                                    std::to_string(scene) + " and the child of node " +
                                    std::to_string(parent[root]));
            if (listed[root])
                throw Bad(path, "node " + std::to_string(root) + " is listed twice in scene " +
                                    std::to_string(scene));
            listed[root] = true;
            roots.push_back(std::size_t(root));
        }
    } else {
        // A file without a scene: every top node, as a viewer would show them.
        for (std::size_t i = 0; i < count; ++i)
            if (parent[i] == kTop)
                roots.push_back(i);
    }

    content.animated.assign(count, false);
    for (const auto &[where, node] : parsed.animated) {
        if (node >= count)
            throw Bad(path, where + ": node " + std::to_string(node) +
                                " is out of range (the file has " + std::to_string(count) +
                                " nodes)");
        content.animated[node] = true;
    }

    // Whether each node's name is its own: the nodes in the order of their
    // names' hashes (names compared only where hashes meet), each compared
    // with its neighbours.
    std::vector<bool> unique(count, true);
    {
        std::vector<std::pair<std::size_t, std::uint32_t>> byHash(count);
        for (std::size_t i = 0; i < count; ++i)
            byHash[i] = {std::hash<std::string>()(parsed.nodes[i].name), std::uint32_t(i)};
        const auto nameOf = [&](const std::pair<std::size_t, std::uint32_t> &entry) {
            return std::string_view(parsed.nodes[entry.second].name);
        };
        std::sort(byHash.begin(), byHash.end(), [&](const auto &a, const auto &b) {
            return a.first != b.first ? a.first < b.first : nameOf(a) < nameOf(b);
        });
        for (std::size_t i = 1; i < count; ++i)
            if (byHash[i].first == byHash[i - 1].first &&
                nameOf(byHash[i]) == nameOf(byHash[i - 1]))
                unique[byHash[i].second] = unique[byHash[i - 1].second] = false;
    }

    file.nodes_.reserve(count);
    // Depth first, without recursion: a file may nest deeper than a stack goes.
    std::vector<std::pair<std::size_t, int>> pending; // file index, parent's position
    for (auto root = roots.rbegin(); root != roots.rend(); ++root)
        pending.emplace_back(*root, -1);
    while (!pending.empty()) {
        const auto [index, up] = pending.back();
        pending.pop_back();
        NodeEntry &node = parsed.nodes[index];
        GltfNode entry;
        entry.index = int(index);
        entry.parent = up;
        entry.name =
            IsWord(node.name) && unique[index] &&
                    (!LooksGenerated(node.name) || node.name == "node" + std::to_string(index))
                ? std::move(node.name)
                : "node" + std::to_string(index);
        const Matrix &local = content.locals[index];
        entry.world = up < 0 ? local : Matrix(local, file.nodes_[std::size_t(up)].world);
        if (!IsFinite(entry.world))
            throw Bad(path, "node " + std::to_string(index) +
                                ": its placement in the scene is not finite");
        if (node.mesh != kNone) {
            if (node.mesh >= meshes.size())
                throw Bad(path, "node " + std::to_string(index) + ": mesh " +
                                    std::to_string(node.mesh) + " is out of range (the file has " +
                                    std::to_string(meshes.size()) + ")");
            const Bounds &bounds = meshes[node.mesh];
            entry.hasBounds = bounds.bounded;
            entry.low = bounds.low;
            entry.high = bounds.high;
        }
        const int position = int(file.nodes_.size());
        file.nodes_.push_back(std::move(entry));
        for (std::size_t k = node.childCount; k-- > 0;)
            pending.emplace_back(std::size_t(parsed.children[node.firstChild + k]), position);
    }
    return file;
}

std::vector<std::string> GltfFile::ResourceFiles() const {
    std::vector<std::string> files;
    for (const BufferEntry &buffer : content_->buffers)
        if (!buffer.name.steps.empty())
            files.push_back(buffer.name.Joined());
    for (const ImageEntry &image : content_->images)
        if (!image.name.steps.empty())
            files.push_back(image.name.Joined());
    return files;
}

namespace {

// One change to the JSON text: [begin, end) replaced by `text`.
struct Edit {
    std::size_t begin, end;
    std::string text;
};

// The edit that takes a member out of its object, with the comma that
// separates it from a neighbour.
Edit RemoveMember(const std::string_view json, Span member) {
    std::size_t begin = member.begin, end = member.end;
    std::size_t before = begin;
    while (before > 0 && IsSpace(json[before - 1]))
        --before;
    if (before > 0 && json[before - 1] == ',')
        return {before - 1, end, {}};
    std::size_t after = end;
    while (after < json.size() && IsSpace(json[after]))
        ++after;
    if (after < json.size() && json[after] == ',') {
        ++after;
        while (after < json.size() && IsSpace(json[after]))
            ++after;
        end = after;
    }
    return {begin, end, {}};
}

// The members `moved` is written as: TRS where the node had no matrix and the
// transform is a rotation with a positive scale, else a matrix. A TRS member
// the node did not have is left out while it holds its default.
std::string TransformMembers(const Matrix &moved, bool hadMatrix, const NodeText &text,
                             const Matrix &before, bool animated, bool &asMatrix) {
    double t[3], q[4], s[3];
    std::string out;
    asMatrix = hadMatrix || !Decompose(moved, t, q, s);
    if (asMatrix) {
        if (animated)
            return {};
        double m[16];
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m[r * 4 + c] = c < 3 ? moved.m[r][c] : (r == 3 ? 1 : 0);
        AppendList(out, "matrix", m, 16);
        return out;
    }
    // A scale the move kept (up to the scene's single precision) keeps its numbers.
    double was[3];
    for (int r = 0; r < 3; ++r)
        was[r] = std::sqrt(before.m[r][0] * before.m[r][0] + before.m[r][1] * before.m[r][1] +
                           before.m[r][2] * before.m[r][2]);
    for (int r = 0; r < 3; ++r)
        if (std::fabs(s[r] - was[r]) <= 1e-6 * std::max(1.0, was[r]))
            s[r] = was[r];
    const auto keep = [&](int member, const double *values, const double *defaults, int n) {
        if (!text.members[member].Present() && std::equal(values, values + n, defaults))
            return;
        if (!out.empty())
            out += ',';
        const char *names[] = {"matrix", "translation", "rotation", "scale"};
        AppendList(out, names[member], values, n);
    };
    const double zero[3] = {0, 0, 0}, identity[4] = {0, 0, 0, 1}, one[3] = {1, 1, 1};
    keep(NodeText::TRANSLATION, t, zero, 3);
    keep(NodeText::ROTATION, q, identity, 4);
    keep(NodeText::SCALE, s, one, 3);
    return out;
}

void AppendBinary(std::string &out, std::string text, const char *rest, std::size_t restSize) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    text.append((4 - text.size() % 4) % 4, ' ');
    out += "glTF";
    PutWord32(out, 2);
    PutWord32(out, std::uint32_t(12 + 8 + text.size() + restSize));
    PutWord32(out, std::uint32_t(text.size()));
    PutWord32(out, kJsonChunk);
    out += text;
    out.append(rest, restSize);
}

} // namespace

void GltfFile::Save(const std::string &path, const std::vector<dg::DMat44> &worlds) const {
    if (worlds.size() != nodes_.size())
        throw std::invalid_argument("GltfFile::Save: one placement per node expected");
    const Content &content = *content_;
    const std::string_view json(content.bytes.data() + content.jsonBegin, content.jsonLength);
    std::vector<Edit> edits;
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        const GltfNode &entry = nodes_[k];
        const Matrix &now = worlds[k];
        if (!IsFinite(now))
            throw Bad(path, "cannot save node " + entry.name + ": its placement is not finite");
        const Matrix &local = content.locals[std::size_t(entry.index)];
        const Matrix *parentNow = entry.parent < 0 ? nullptr : &worlds[std::size_t(entry.parent)];
        const Matrix expected = parentNow ? Matrix(local, *parentNow) : local;
        const double reach = parentNow ? MaxAbs(local, 3, 3) * MaxAbs(*parentNow, 0, 2) : 0;
        if (SamePlacement(expected, now, reach))
            continue; // it keeps the numbers it had, exactly
        Matrix inverse;
        if (parentNow) {
            inverse = *parentNow;
            if (!inverse.Invert())
                throw Bad(path, "cannot save node " + entry.name +
                                    ": the placement of its parent " +
                                    nodes_[std::size_t(entry.parent)].name + " cannot be inverted");
        }
        const Matrix moved = Matrix(now, inverse);
        // Text that JSON cannot hold (inf, nan) must never reach the file.
        if (!IsFinite(moved))
            throw Bad(path, "cannot save node " + entry.name +
                                ": its transform under its parent is not finite");
        const std::size_t index = std::size_t(entry.index);
        const NodeText &text = content.text[index];
        bool asMatrix = false;
        const std::string members =
            TransformMembers(moved, text.members[NodeText::MATRIX].Present(), text, local,
                             content.animated[index], asMatrix);
        if (members.empty() && asMatrix)
            throw Bad(path, "cannot save node " + entry.name +
                                ": it is animated, and its new placement is not a rotation "
                                "and a positive scale");
        // The first transform member there is takes the new ones' place; the others go.
        std::vector<Span> present;
        for (const Span &span : text.members)
            if (span.Present())
                present.push_back(span);
        std::sort(present.begin(), present.end(),
                  [](const Span &a, const Span &b) { return a.begin < b.begin; });
        if (present.empty()) {
            if (!members.empty())
                edits.push_back(
                    {text.open + 1u, text.open + 1u, members + (text.hasMembers ? "," : "")});
            continue;
        }
        if (members.empty()) {
            for (const Span &span : present)
                edits.push_back(RemoveMember(json, span));
            continue;
        }
        edits.push_back({present[0].begin, present[0].end, members});
        for (std::size_t i = 1; i < present.size(); ++i)
            edits.push_back(RemoveMember(json, present[i]));
    }

    // A .glb saved as .gltf carries its BIN chunk as a data uri; a .gltf saved
    // as .glb takes its first buffer into the BIN chunk.
    const bool binary = EndsWithGlb(path);
    std::string binChunk;
    bool bufferIntoBin = false;
    if (!content.buffers.empty()) {
        const BufferEntry &first = content.buffers[0];
        if (content.binary && !binary && !first.hasUri && first.hasData) {
            edits.push_back({first.open + 1u, first.open + 1u,
                             "\"uri\":\"data:application/octet-stream;base64," +
                                 EncodeBase64(first.data) + "\"" + (first.hasMembers ? "," : "")});
        } else if (!content.binary && binary && first.hasUri && first.hasData) {
            edits.push_back(RemoveMember(json, first.uriMember));
            binChunk = first.data;
            binChunk.append((4 - binChunk.size() % 4) % 4, '\0');
            bufferIntoBin = true;
        }
    }
    std::sort(edits.begin(), edits.end(),
              [](const Edit &a, const Edit &b) { return a.begin < b.begin; });

    std::string out;
    const bool unchanged = edits.empty() && content.binary == binary;
    if (!unchanged) {
        std::string text;
        text.reserve(json.size() + 64 * edits.size());
        std::size_t at = 0;
        for (const Edit &edit : edits) {
            text.append(json.substr(at, edit.begin - at));
            text += edit.text;
            at = edit.end;
        }
        text.append(json.substr(at));
        if (!binary) {
            if (content.binary)
                while (!text.empty() && text.back() == ' ')
                    text.pop_back();
            out = std::move(text);
        } else if (content.binary) {
            AppendBinary(out, std::move(text), content.bytes.data() + content.afterJson,
                         content.bytes.size() - content.afterJson);
        } else {
            std::string rest;
            if (bufferIntoBin) {
                PutWord32(rest, std::uint32_t(binChunk.size()));
                PutWord32(rest, kBinaryChunk);
                rest += binChunk;
            }
            AppendBinary(out, std::move(text), rest.data(), rest.size());
        }
        if (out.size() > 0xffffffffu && binary)
            throw Bad(path, "cannot save: the binary file would pass 4 GiB");
    }

    // Files beside the saved one: the buffers and images it names, copied
    // when it goes to another folder. Every target is checked before the first write.
    const std::string from = fs::path(path_).parent_path().string();
    const std::string to = fs::path(path).parent_path().string();
    const std::string savedName = fs::path(path).filename().string();
    const bool elsewhere = !SameFolder(from, to);
    std::vector<std::pair<std::string, const ResourceName *>> beside; // what, name
    for (std::size_t i = 0; i < content.buffers.size(); ++i)
        if (!content.buffers[i].name.steps.empty() && !(i == 0 && bufferIntoBin))
            beside.emplace_back("buffer " + std::to_string(i), &content.buffers[i].name);
    for (std::size_t i = 0; i < content.images.size(); ++i)
        if (!content.images[i].name.steps.empty())
            beside.emplace_back("image " + std::to_string(i), &content.images[i].name);
    struct stat folder;
    if (::stat(to.empty() ? "." : to.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(path));
    FolderWriter writer(to);
    ResourceName saved;
    saved.steps = {savedName};
    const std::string problem = savedName.empty() || savedName == "." || savedName == ".."
                                    ? std::string("it names no file")
                                    : writer.CheckTarget(saved, true);
    if (!problem.empty())
        throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(path) + ": " + problem);
    std::vector<std::pair<std::string, const ResourceName *>> copies;
    for (const auto &[what, name] : beside) {
        if (name->steps.size() == 1 && name->steps[0] == savedName)
            throw Bad(path, "cannot save: the file would overwrite " + what + "'s file " +
                                Shown(savedName) + ", which it reads beside itself");
        if (!elsewhere)
            continue;
        const std::string target = (fs::path(to) / name->Joined()).string();
        for (const std::string &step : name->steps)
            if (step.front() == '.')
                throw Bad(path, "cannot save " + what + "'s file " + Shown(name->Joined()) +
                                    " beside it: its name starts with a dot");
        std::string none;
        std::uint64_t size = 0;
        const ReadResult read = ReadInside(from, *name, 0, none, size);
        if (read == ReadResult::MISSING && what.compare(0, 5, "image") == 0)
            continue; // an image that is not there is not copied, as before
        if (read != ReadResult::OK)
            throw Bad(path, "cannot save " + what + "'s file " + Shown(name->Joined()) +
                                " beside it: it " + ReadProblem(read));
        const std::string blocked = writer.CheckTarget(*name, false);
        if (!blocked.empty())
            throw GltfError(GltfError::UNWRITABLE,
                            "cannot write " + Quote(target) + ": " + blocked);
        copies.emplace_back(target, name);
    }
    std::string reason;
    for (const auto &[target, name] : copies)
        if (!writer.Copy(from, *name, *name, reason))
            throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(target) + ": " + reason);
    // Nothing moved: the very bytes that were loaded.
    if (!writer.Write(saved, unchanged ? content.bytes : out, reason))
        throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(path));
}

} // namespace alignpartsdemo
