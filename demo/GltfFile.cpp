#include "GltfFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <unordered_map>

// tinygltf does the parsing and the writing, built here once (its options,
// no image codec, come from the build).
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>

namespace alignpartsdemo {

namespace fs = std::filesystem;

// Extensions a file may require that change nothing this program reads or
// writes: how surfaces look, and how vertex data is compressed (the bounds come
// from the accessors, which these keep).
const char *const kHonouredExtensions[] = {"KHR_texture_transform",      "KHR_texture_basisu",
                                           "EXT_texture_webp",           "EXT_texture_avif",
                                           "KHR_draco_mesh_compression", "EXT_meshopt_compression",
                                           "KHR_mesh_quantization",      "KHR_materials_"};

struct GltfFile::Content {
    tinygltf::Model model;
    std::vector<dg::DMat44> locals; // per tree node, as read
    std::vector<bool> animated;     // per file node: the target of an animation channel
};

namespace {

using Matrix = dg::DMat44;

std::string Quote(const std::string &path) {
    return "'" + path + "'";
}

GltfError Bad(const std::string &path, const std::string &problem) {
    return GltfError(GltfError::BAD_FILE, Quote(path) + ": " + problem);
}

std::string FirstLine(std::string text) {
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text;
}

bool AllFinite(const std::vector<double> &values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

bool IsFinite(const Matrix &m) {
    for (const auto &row : m.m)
        for (double v : row)
            if (!std::isfinite(v))
                return false;
    return true;
}

// The node's own transform, row vectors. glTF's column-major matrix of column
// vectors, read in storage order, is exactly the row-major matrix of row
// vectors; T·R·S acting on a column vector is S·Rᵀ·T acting on a row.
Matrix LocalTransform(const tinygltf::Node &node, int index) {
    const auto where = [index] { return "node " + std::to_string(index); };
    Matrix local;
    if (!node.matrix.empty()) {
        if (node.matrix.size() != 16 || !AllFinite(node.matrix))
            throw std::runtime_error(where() + ": matrix is not 16 finite numbers");
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                local.m[r][c] = node.matrix[std::size_t(r * 4 + c)];
        if (local.m[0][3] != 0 || local.m[1][3] != 0 || local.m[2][3] != 0 || local.m[3][3] != 1)
            throw std::runtime_error(where() + ": matrix is not an affine transform");
        return local;
    }
    const auto check = [&](const std::vector<double> &v, std::size_t n, const char *what) {
        if (!v.empty() && (v.size() != n || !AllFinite(v)))
            throw std::runtime_error(where() + ": " + what + " is not " + std::to_string(n) +
                                     " finite numbers");
    };
    check(node.translation, 3, "translation");
    check(node.rotation, 4, "rotation");
    check(node.scale, 3, "scale");
    double x = 0, y = 0, z = 0, w = 1;
    if (!node.rotation.empty()) {
        const double length =
            std::sqrt(node.rotation[0] * node.rotation[0] + node.rotation[1] * node.rotation[1] +
                      node.rotation[2] * node.rotation[2] + node.rotation[3] * node.rotation[3]);
        if (!(length > 0) || !std::isfinite(length))
            throw std::runtime_error(where() + ": rotation is not a unit quaternion");
        x = node.rotation[0] / length, y = node.rotation[1] / length;
        z = node.rotation[2] / length, w = node.rotation[3] / length;
    }
    // Columns of the rotation matrix, each the image of one axis: the rows here.
    const double axes[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w)},
                               {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w)},
                               {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y)}};
    for (int r = 0; r < 3; ++r) {
        const double s = node.scale.empty() ? 1 : node.scale[std::size_t(r)];
        for (int c = 0; c < 3; ++c)
            local.m[r][c] = s * axes[r][c];
        local.m[3][r] = node.translation.empty() ? 0 : node.translation[std::size_t(r)];
    }
    return local;
}

// Translation, rotation and a positive scale that make `local`, when it is
// made of nothing else (no shear, no mirror).
bool Decompose(const Matrix &local, std::vector<double> &t, std::vector<double> &q,
               std::vector<double> &s) {
    double axes[3][3];
    s.assign(3, 0);
    for (int r = 0; r < 3; ++r) {
        s[std::size_t(r)] =
            std::sqrt(local.m[r][0] * local.m[r][0] + local.m[r][1] * local.m[r][1] +
                      local.m[r][2] * local.m[r][2]);
        if (!(s[std::size_t(r)] > 0))
            return false;
        for (int c = 0; c < 3; ++c)
            axes[r][c] = local.m[r][c] / s[std::size_t(r)];
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
    q = {x / length, y / length, z / length, w / length};
    t = {local.m[3][0], local.m[3][1], local.m[3][2]};
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

double Normalized(double value, int componentType) {
    switch (componentType) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
        return std::max(value / 127, -1.0);
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return value / 255;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
        return std::max(value / 32767, -1.0);
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return value / 65535;
    default:
        return value;
    }
}

// Checks mesh `index` as far as drawing it needs: its accessors exist, and
// every vertex index it stores names a vertex it has. Answers its bounds.
bool CheckMesh(const tinygltf::Model &model, int index, const std::string &path, dg::DVec3 &low,
               dg::DVec3 &high) {
    const std::string where = "mesh " + std::to_string(index);
    bool bounded = false;
    const auto accessorAt = [&](int a, const std::string &role) -> const tinygltf::Accessor & {
        if (a < 0 || std::size_t(a) >= model.accessors.size())
            throw Bad(path, where + ": " + role + " accessor " + std::to_string(a) +
                                " is out of range (the file has " +
                                std::to_string(model.accessors.size()) + ")");
        return model.accessors[std::size_t(a)];
    };
    const auto &primitives = model.meshes[std::size_t(index)].primitives;
    for (std::size_t p = 0; p < primitives.size(); ++p) {
        std::size_t vertices = 0;
        for (const auto &attribute : primitives[p].attributes) {
            const tinygltf::Accessor &accessor = accessorAt(attribute.second, attribute.first);
            if (attribute.first != "POSITION")
                continue;
            vertices = accessor.count;
            if (accessor.minValues.size() != 3 || accessor.maxValues.size() != 3)
                continue;
            if (!AllFinite(accessor.minValues) || !AllFinite(accessor.maxValues))
                throw Bad(path, where + ": the bounds of its positions are not finite");
            for (int i = 0; i < 3; ++i) {
                double lo = accessor.minValues[std::size_t(i)];
                double hi = accessor.maxValues[std::size_t(i)];
                if (accessor.normalized)
                    lo = Normalized(lo, accessor.componentType),
                    hi = Normalized(hi, accessor.componentType);
                low[i] = bounded ? std::min(low[i], lo) : lo;
                high[i] = bounded ? std::max(high[i], hi) : hi;
            }
            bounded = true;
        }
        if (primitives[p].indices < 0)
            continue;
        const tinygltf::Accessor &indices = accessorAt(primitives[p].indices, "index");
        if (indices.bufferView < 0)
            continue;
        if (std::size_t(indices.bufferView) >= model.bufferViews.size())
            throw Bad(path, where + ": buffer view " + std::to_string(indices.bufferView) +
                                " is out of range");
        const tinygltf::BufferView &view = model.bufferViews[std::size_t(indices.bufferView)];
        if (view.buffer < 0 || std::size_t(view.buffer) >= model.buffers.size())
            throw Bad(path, where + ": buffer " + std::to_string(view.buffer) + " is out of range");
        const std::vector<unsigned char> &data = model.buffers[std::size_t(view.buffer)].data;
        const int size = tinygltf::GetComponentSizeInBytes(std::uint32_t(indices.componentType));
        if (size != 1 && size != 2 && size != 4)
            throw Bad(path, where + ": vertex indices of an unknown type");
        const std::size_t stride = view.byteStride ? view.byteStride : std::size_t(size);
        const std::size_t start = view.byteOffset + indices.byteOffset;
        const std::size_t end = indices.count ? start + stride * (indices.count - 1) + size : start;
        if (end > view.byteOffset + view.byteLength || end > data.size())
            throw Bad(path, where + ": its vertex indices run past their buffer");
        for (std::size_t i = 0; i < indices.count; ++i) {
            std::uint32_t value = 0;
            const unsigned char *at = data.data() + start + i * stride;
            if (size == 1)
                value = *at;
            else if (size == 2)
                value = std::uint32_t(at[0] | at[1] << 8);
            else
                std::memcpy(&value, at, 4); // glTF is little-endian, like this machine
            if (value >= vertices)
                throw Bad(path, where + ": vertex index " + std::to_string(value) +
                                    " is out of range (the primitive has " +
                                    std::to_string(vertices) + " vertices)");
        }
    }
    return bounded;
}

// The file's bytes; a missing or unreadable file is not the script's fault.
std::string ReadAll(const std::string &path) {
    std::error_code error;
    if (fs::is_directory(path, error))
        throw GltfError(GltfError::UNREADABLE, "cannot read " + Quote(path) + ": a directory");
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw GltfError(GltfError::UNREADABLE,
                        "cannot read " + Quote(path) + ": " + std::strerror(errno));
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(&bytes[0], std::streamsize(bytes.size()));
    if (!in || in.peek() != std::char_traits<char>::eof())
        throw GltfError(GltfError::UNREADABLE, "cannot read " + Quote(path));
    return bytes;
}

// What tinygltf's refusal means to a user, told by what the bytes are.
std::string DiagnoseRefusal(const std::string &bytes, bool binary, const std::string &err) {
    if (!binary) {
        nlohmann::json json;
        try {
            json = nlohmann::json::parse(bytes);
        } catch (const nlohmann::json::exception &error) {
            const std::size_t start = bytes.find_first_not_of(" \t\r\n");
            if (start == std::string::npos || bytes[start] != '{')
                return "not a glTF file (neither JSON nor binary glTF)";
            // "[json.exception.parse_error.101] parse error at line 3, ...": the part after the
            // tag.
            const std::string what = error.what();
            return "broken JSON: " +
                   FirstLine(what.substr(std::min(what.size(), what.find(']') + 2)));
        }
        if (!json.is_object())
            return "not a glTF file (neither JSON nor binary glTF)";
        const auto asset = json.find("asset");
        if (asset != json.end() && asset->is_object() && asset->contains("version") &&
            (*asset)["version"].is_string() &&
            (*asset)["version"].get<std::string>().compare(0, 1, "2") != 0)
            return "glTF " + (*asset)["version"].get<std::string>() +
                   " is not supported; only glTF 2.0 can be loaded";
    }
    const std::string reason = FirstLine(err);
    if (reason.compare(0, 14, "File not found") == 0)
        return "a buffer is missing: file not found: " +
               reason.substr(std::min(reason.size(), reason.find(':') + 2));
    if (binary)
        return "a truncated or corrupt binary glTF file (" + reason + ")";
    return "cannot load: " + reason;
}

bool KeepImageBytes(tinygltf::Image *image, const int, std::string *, std::string *, int, int,
                    const unsigned char *bytes, int size, void *) {
    // Only an image embedded in its URI needs its bytes kept to be written back.
    if (image->bufferView < 0 && image->uri.empty() && size > 0) {
        image->image.assign(bytes, bytes + size);
        image->as_is = true;
    }
    return true;
}

bool WriteImageBytes(const std::string *, const std::string *, const tinygltf::Image *image, bool,
                     std::string *uri, void *) {
    if (!image->uri.empty() || image->image.empty())
        return false; // a file beside it or a buffer view: written as it was
    *uri = "data:" + image->mimeType + ";base64," +
           tinygltf::base64_encode(image->image.data(), unsigned(image->image.size()));
    return true;
}

// A relative path inside the file's own directory, safe to write beside a copy.
bool IsPlainRelative(const std::string &uri) {
    if (uri.empty() || uri.find(':') != std::string::npos || uri.find('%') != std::string::npos ||
        uri.front() == '/' || uri.find('\\') != std::string::npos)
        return false;
    for (const auto &part : fs::path(uri))
        if (part == "..")
            return false;
    return true;
}

void WriteBytes(const fs::path &path, const char *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(data, std::streamsize(size));
    out.close();
    if (!out)
        throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(path.string()));
}

bool EndsWithGlb(const std::string &path) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension == ".glb";
}

} // namespace

GltfFile::GltfFile() : content_(new Content) {}
GltfFile::GltfFile(GltfFile &&) noexcept = default;
GltfFile &GltfFile::operator=(GltfFile &&) noexcept = default;
GltfFile::~GltfFile() = default;

GltfFile GltfFile::Load(const std::string &path) {
    const std::string bytes = ReadAll(path);
    GltfFile file;
    file.path_ = path;
    tinygltf::Model &model = file.content_->model;
    tinygltf::TinyGLTF loader;
    loader.SetImageLoader(&KeepImageBytes, nullptr);
    std::string err, warn;
    const std::string baseDir = fs::path(path).parent_path().string();
    const bool binary = bytes.compare(0, 4, "glTF") == 0;
    if (binary && bytes.size() >= 8) {
        std::uint32_t version = 0;
        std::memcpy(&version, bytes.data() + 4, 4);
        if (version != 2)
            throw Bad(path, "binary glTF version " + std::to_string(version) +
                                " is not supported; only glTF 2.0 can be loaded");
    }
    if (bytes.size() > 0xffffffffu)
        throw Bad(path, "too large");
    // tinygltf appends node after node, and keeps the capacity of the vector it
    // fills: room reserved for them spares a large file its copies of every
    // node read so far. Every node is an object, so there are no more of them
    // than braces; the room is held to a few times the text's own size.
    std::size_t jsonStart = 0, jsonSize = bytes.size();
    if (binary && bytes.size() >= 20) {
        std::uint32_t chunk = 0;
        std::memcpy(&chunk, bytes.data() + 12, 4);
        jsonStart = 20;
        jsonSize = std::min<std::size_t>(chunk, bytes.size() - 20);
    }
    const auto json = bytes.begin() + std::ptrdiff_t(jsonStart);
    const std::size_t braces = std::size_t(std::count(json, json + std::ptrdiff_t(jsonSize), '{'));
    model.nodes.reserve(std::min(braces, 8 * jsonSize / sizeof(tinygltf::Node)));
    const bool loaded =
        binary ? loader.LoadBinaryFromMemory(&model, &err, &warn,
                                             reinterpret_cast<const unsigned char *>(bytes.data()),
                                             unsigned(bytes.size()), baseDir)
               : loader.LoadASCIIFromString(&model, &err, &warn, bytes.data(),
                                            unsigned(bytes.size()), baseDir);
    if (!loaded)
        throw Bad(path, DiagnoseRefusal(bytes, binary, err));
    if (model.asset.version.compare(0, 1, "2") != 0)
        throw Bad(path,
                  "glTF " + model.asset.version + " is not supported; only glTF 2.0 can be loaded");
    for (const std::string &required : model.extensionsRequired) {
        const bool honoured = std::any_of(
            std::begin(kHonouredExtensions), std::end(kHonouredExtensions), [&](const char *known) {
                const std::string prefix = known;
                return prefix.back() == '_' ? required.compare(0, prefix.size(), prefix) == 0
                                            : required == prefix;
            });
        if (!honoured)
            throw Bad(path,
                      "requires the extension " + required + ", which this program cannot honour");
    }

    // Parents, then the checks that make the nodes a forest.
    const std::size_t count = model.nodes.size();
    std::vector<int> parent(count, -1);
    for (std::size_t i = 0; i < count; ++i)
        for (int child : model.nodes[i].children) {
            if (child < 0 || std::size_t(child) >= count)
                throw Bad(path, "node " + std::to_string(i) + ": child " + std::to_string(child) +
                                    " is out of range (the file has " + std::to_string(count) +
                                    " nodes)");
            if (parent[std::size_t(child)] != -1)
                throw Bad(path, "node " + std::to_string(child) +
                                    " is the child of two parents (nodes " +
                                    std::to_string(parent[std::size_t(child)]) + " and " +
                                    std::to_string(i) + ")");
            parent[std::size_t(child)] = int(i);
        }
    // 0 unknown, 1 on the walk in progress, 2 known to reach a top.
    std::vector<char> state(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = i;
        while (state[at] == 0 && parent[at] != -1) {
            state[at] = 1;
            at = std::size_t(parent[at]);
        }
        if (state[at] == 1)
            throw Bad(path, "node " + std::to_string(at) + " is its own ancestor");
        for (at = i; state[at] != 2; at = parent[at] == -1 ? at : std::size_t(parent[at]))
            state[at] = 2;
    }

    std::vector<int> roots;
    if (model.defaultScene >= 0 && std::size_t(model.defaultScene) >= model.scenes.size())
        throw Bad(path, "scene " + std::to_string(model.defaultScene) +
                            " is out of range (the file has " +
                            std::to_string(model.scenes.size()) + ")");
    if (!model.scenes.empty()) {
        const std::size_t scene = model.defaultScene >= 0 ? std::size_t(model.defaultScene) : 0;
        std::set<int> listed;
        for (int root : model.scenes[scene].nodes) {
            if (root < 0 || std::size_t(root) >= count)
                throw Bad(path, "scene " + std::to_string(scene) + ": node " +
                                    std::to_string(root) + " is out of range (the file has " +
                                    std::to_string(count) + " nodes)");
            if (parent[std::size_t(root)] != -1)
                throw Bad(path, "node " + std::to_string(root) + " is a root of scene " +
                                    std::to_string(scene) + " and the child of node " +
                                    std::to_string(parent[std::size_t(root)]));
            if (!listed.insert(root).second)
                throw Bad(path, "node " + std::to_string(root) + " is listed twice in scene " +
                                    std::to_string(scene));
            roots.push_back(root);
        }
    } else {
        // A file without a scene: every top node, as a viewer would show them.
        for (std::size_t i = 0; i < count; ++i)
            if (parent[i] == -1)
                roots.push_back(int(i));
    }

    std::unordered_map<std::string, int> nameCount(count);
    for (const tinygltf::Node &node : model.nodes)
        ++nameCount[node.name];
    file.content_->animated.assign(count, false);
    for (const tinygltf::Animation &animation : model.animations)
        for (const tinygltf::AnimationChannel &channel : animation.channels)
            if (channel.target_node >= 0 && std::size_t(channel.target_node) < count)
                file.content_->animated[std::size_t(channel.target_node)] = true;

    file.nodes_.reserve(count);
    file.content_->locals.reserve(count);
    // Depth first, without recursion: a file may nest deeper than a stack goes.
    std::map<int, std::pair<bool, std::pair<dg::DVec3, dg::DVec3>>> meshes;
    std::vector<std::pair<int, int>> pending; // file index, parent's position
    for (auto root = roots.rbegin(); root != roots.rend(); ++root)
        pending.emplace_back(*root, -1);
    while (!pending.empty()) {
        const auto [index, up] = pending.back();
        pending.pop_back();
        const tinygltf::Node &node = model.nodes[std::size_t(index)];
        GltfNode entry;
        entry.index = index;
        entry.parent = up;
        entry.name =
            IsWord(node.name) && nameCount[node.name] == 1 &&
                    (!LooksGenerated(node.name) || node.name == "node" + std::to_string(index))
                ? node.name
                : "node" + std::to_string(index);
        Matrix local;
        try {
            local = LocalTransform(node, index);
        } catch (const std::runtime_error &error) {
            throw Bad(path, error.what());
        }
        entry.world = up < 0 ? local : Matrix(local, file.nodes_[std::size_t(up)].world);
        if (!IsFinite(entry.world))
            throw Bad(path, "node " + std::to_string(index) +
                                ": its placement in the scene is not finite");
        if (node.mesh >= 0 || node.mesh < -1) {
            if (std::size_t(node.mesh) >= model.meshes.size())
                throw Bad(path, "node " + std::to_string(index) + ": mesh " +
                                    std::to_string(node.mesh) + " is out of range (the file has " +
                                    std::to_string(model.meshes.size()) + ")");
            auto found = meshes.find(node.mesh);
            if (found == meshes.end()) {
                dg::DVec3 low, high;
                const bool bounded = CheckMesh(model, node.mesh, path, low, high);
                found =
                    meshes.emplace(node.mesh, std::make_pair(bounded, std::make_pair(low, high)))
                        .first;
            }
            entry.hasBounds = found->second.first;
            entry.low = found->second.second.first;
            entry.high = found->second.second.second;
        }
        const int position = int(file.nodes_.size());
        file.nodes_.push_back(entry);
        file.content_->locals.push_back(local);
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child)
            pending.emplace_back(*child, position);
    }
    return file;
}

void GltfFile::Save(const std::string &path, const std::vector<dg::DMat44> &worlds) const {
    if (worlds.size() != nodes_.size())
        throw std::invalid_argument("GltfFile::Save: one placement per node expected");
    tinygltf::Model &model = content_->model;
    // The nodes that change, by index in the file, as they will be written.
    std::vector<std::pair<std::size_t, tinygltf::Node>> changed;
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        const GltfNode &entry = nodes_[k];
        const Matrix &now = worlds[k];
        if (!IsFinite(now))
            throw Bad(path, "cannot save node " + entry.name + ": its placement is not finite");
        const Matrix &local = content_->locals[k];
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
        changed.emplace_back(std::size_t(entry.index), model.nodes[std::size_t(entry.index)]);
        tinygltf::Node &node = changed.back().second;
        std::vector<double> t, q, s;
        if (node.matrix.empty() && Decompose(moved, t, q, s)) {
            node.translation = t, node.rotation = q, node.scale = s;
            continue;
        }
        if (content_->animated[std::size_t(entry.index)])
            throw Bad(path, "cannot save node " + entry.name +
                                ": it is animated, and its new placement is not a rotation "
                                "and a positive scale");
        node.translation.clear(), node.rotation.clear(), node.scale.clear();
        node.matrix.assign(16, 0);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 3; ++c)
                node.matrix[std::size_t(r * 4 + c)] = moved.m[r][c];
        node.matrix[15] = 1;
    }

    // tinygltf embeds every buffer it writes to a stream; one that lived in a
    // file of its own stays in a file of its own, beside the saved one.
    const bool binary = EndsWithGlb(path);
    std::vector<std::size_t> beside;
    for (std::size_t i = 0; i < model.buffers.size(); ++i)
        if (!binary && IsPlainRelative(model.buffers[i].uri))
            beside.push_back(i);
    const fs::path from = fs::path(path_).parent_path();
    const fs::path to = fs::path(path).parent_path();
    std::error_code error;
    const bool elsewhere = fs::weakly_canonical(from.empty() ? "." : from, error) !=
                           fs::weakly_canonical(to.empty() ? "." : to, error);

    // Serialised with the new nodes in place of the read ones, restored after.
    struct Swapped {
        tinygltf::Model &model;
        std::vector<std::pair<std::size_t, tinygltf::Node>> &nodes;
        std::string firstUri;
        Swapped(tinygltf::Model &m, std::vector<std::pair<std::size_t, tinygltf::Node>> &n,
                bool binary)
            : model(m), nodes(n) {
            for (auto &[index, node] : nodes)
                std::swap(model.nodes[index], node);
            if (binary && !model.buffers.empty() && IsPlainRelative(model.buffers[0].uri))
                std::swap(firstUri, model.buffers[0].uri); // into the binary chunk
        }
        ~Swapped() {
            if (!firstUri.empty())
                std::swap(firstUri, model.buffers[0].uri);
            for (auto &[index, node] : nodes)
                std::swap(model.nodes[index], node);
        }
    } swapped(model, changed, binary);
    tinygltf::TinyGLTF writer;
    writer.SetImageWriter(&WriteImageBytes, nullptr);
    if (beside.empty()) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (out)
            writer.WriteGltfSceneToStream(&model, out, true, binary);
        out.close();
        if (!out)
            throw GltfError(GltfError::UNWRITABLE, "cannot write " + Quote(path));
    } else {
        std::ostringstream out;
        writer.WriteGltfSceneToStream(&model, out, true, binary);
        nlohmann::json json = nlohmann::json::parse(out.str());
        for (std::size_t i : beside)
            json["buffers"][i]["uri"] = model.buffers[i].uri;
        const std::string text = json.dump(2) + "\n";
        WriteBytes(path, text.data(), text.size());
    }
    if (!elsewhere)
        return;
    for (std::size_t i : beside) {
        const tinygltf::Buffer &buffer = model.buffers[i];
        fs::create_directories((to / buffer.uri).parent_path(), error);
        WriteBytes(to / buffer.uri, reinterpret_cast<const char *>(buffer.data.data()),
                   buffer.data.size());
    }
    for (const tinygltf::Image &image : model.images)
        if (IsPlainRelative(image.uri) && fs::exists(from / image.uri, error)) {
            fs::create_directories((to / image.uri).parent_path(), error);
            fs::copy_file(from / image.uri, to / image.uri, fs::copy_options::overwrite_existing,
                          error);
            if (error)
                throw GltfError(GltfError::UNWRITABLE,
                                "cannot write " + Quote((to / image.uri).string()));
        }
}

} // namespace alignpartsdemo
