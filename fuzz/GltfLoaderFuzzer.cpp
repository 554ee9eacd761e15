// Fuzz target: the demo's glTF file layer, as a file someone sent is opened,
// saved and opened again.
//
// The input is a file. Its first byte picks the name it is written under in a
// private folder: `g` (a binary file's magic) a `.glb`, `{` a `.gltf`, any
// other byte by its lowest bit (1 `.glb`, 0 `.gltf`), so that both names meet
// both kinds of content. An input may carry one resource for the file: after
// the marker "\0QLAPSIDE" the rest is written under every plain name that a
// `"uri"` in the file gives (a name without a folder, a scheme or a leading
// dot), which lets a sample with its buffer beside it be a single input.
//
// A file that loads is saved into a second folder twice: as loaded, in its
// own kind, and with its first node moved, in the other kind; each saved file
// should load again with the same nodes. What must hold whatever the input: no
// crash or sanitizer report, and nothing thrown but GltfError. Faults that no
// sanitizer sees are counted, and the first few described on stderr: a saved
// file that its own loader refuses or that loads with other nodes, and a
// binary file whose BIN chunk runs past the file's end that loads (its
// missing bytes come from whatever memory lies behind the file's). They stop
// the fuzzer like a crash, leaving the input behind; with
// QLAP_GLTF_FUZZ_STRICT=0 in the environment they are only counted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "GltfFile.h"

namespace {

namespace fs = std::filesystem;
using alignpartsdemo::GltfError;
using alignpartsdemo::GltfFile;

constexpr char kSideMarker[] = "\0QLAPSIDE";
constexpr std::size_t kSideMarkerSize = sizeof kSideMarker - 1;

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "gltf loader: %s\n", what.c_str());
    std::abort();
}

// What the runs did, printed when the process ends.
struct Tally {
    ~Tally() {
        std::fprintf(stderr,
                     "gltf loader: %llu inputs, %llu loaded, %llu saved, %llu saved files "
                     "refused or changed on loading again, or files wrongly loaded\n",
                     inputs, loaded, saved, quietFaults);
    }
    unsigned long long inputs = 0, loaded = 0, saved = 0, quietFaults = 0;
};
Tally tally;

const bool kStrict = [] {
    const char *strict = std::getenv("QLAP_GLTF_FUZZ_STRICT");
    return !strict || std::string(strict) != "0";
}();

// A fault no sanitizer sees: fatal when strict.
void QuietFault(const std::string &what) {
    if (kStrict)
        Fail(what);
    if (++tally.quietFaults <= 5)
        std::fprintf(stderr, "gltf loader: %s\n", what.c_str());
}

std::uint32_t Word(const std::string &bytes, std::size_t at) {
    return std::uint32_t(std::uint8_t(bytes[at])) |
           std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

// Whether a binary file's second chunk claims more bytes than follow it.
bool BinChunkPastTheEnd(const std::string &bytes) {
    if (bytes.size() < 20 || bytes.compare(0, 4, "glTF") != 0)
        return false;
    const std::uint64_t binHeader = 20 + std::uint64_t(Word(bytes, 12));
    if (binHeader + 8 > bytes.size())
        return false;
    return binHeader + 8 + Word(bytes, std::size_t(binHeader)) > bytes.size();
}

// The folders every run uses, made once and removed when the process ends.
struct Folders {
    Folders() {
        std::string pattern = (fs::temp_directory_path() / "qlap-fuzz-gltf-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            Fail("cannot make a temporary folder");
        root = pattern;
        in = root / "in";
        out = root / "out";
    }
    ~Folders() {
        std::error_code error;
        fs::remove_all(root, error);
    }
    void Empty() const {
        std::error_code error;
        fs::remove_all(in, error);
        fs::remove_all(out, error);
        fs::create_directory(in, error);
        fs::create_directory(out, error);
    }
    fs::path root, in, out;
};

void Write(const fs::path &path, const char *data, std::size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(data, std::streamsize(size));
    if (!file)
        Fail("cannot write " + path.string());
}

// The plain names the file's `"uri"` members give, read loosely: enough to
// place a resource, with no claim to parse JSON.
std::vector<std::string> PlainUris(const std::string &text) {
    std::vector<std::string> names;
    for (std::size_t at = text.find("\"uri\""); at != std::string::npos && names.size() < 8;
         at = text.find("\"uri\"", at + 5)) {
        std::size_t i = at + 5;
        while (i < text.size() && (text[i] == ' ' || text[i] == ':' || text[i] == '\n'))
            ++i;
        if (i >= text.size() || text[i] != '"')
            continue;
        const std::size_t end = text.find('"', i + 1);
        if (end == std::string::npos)
            break;
        const std::string name = text.substr(i + 1, end - i - 1);
        const bool plain = !name.empty() && name.size() < 64 && name[0] != '.' &&
                           name.find_first_of("/\\:%") == std::string::npos &&
                           name.find('\0') == std::string::npos;
        if (plain)
            names.push_back(name);
    }
    return names;
}

bool IsBinaryName(unsigned char first) {
    if (first == 'g')
        return true;
    if (first == '{')
        return false;
    return (first & 1) != 0;
}

std::string NodeNames(const GltfFile &file) {
    std::string names;
    for (const alignpartsdemo::GltfNode &node : file.Nodes())
        names += node.name + '\n';
    return names;
}

// Loads what was saved and compares its nodes with the loaded file's.
void LoadAgain(const GltfFile &loaded, const fs::path &saved) {
    try {
        const GltfFile again = GltfFile::Load(saved.string());
        if (NodeNames(again) != NodeNames(loaded))
            QuietFault("the saved file " + saved.filename().string() + " has other nodes");
    } catch (const GltfError &error) {
        QuietFault("the saved file " + saved.filename().string() + " is refused: " + error.what());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Folders folders;
    if (size == 0)
        return 0;
    ++tally.inputs;
    folders.Empty();
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t marker = input.find(std::string(kSideMarker, kSideMarkerSize));
    const std::string main = input.substr(0, marker);
    const bool binary = IsBinaryName(data[0]);
    const fs::path path = folders.in / (binary ? "model.glb" : "model.gltf");
    Write(path, main.data(), main.size());
    if (marker != std::string::npos) {
        const std::string side = input.substr(marker + kSideMarkerSize);
        for (const std::string &name : PlainUris(main))
            if (name != path.filename().string())
                Write(folders.in / name, side.data(), side.size());
    }

    try {
        const GltfFile file = GltfFile::Load(path.string());
        ++tally.loaded;
        if (BinChunkPastTheEnd(main))
            QuietFault("a binary file whose BIN chunk runs past its end is loaded");
        std::vector<dg::DMat44> worlds;
        for (const alignpartsdemo::GltfNode &node : file.Nodes())
            worlds.push_back(node.world);

        const fs::path same = folders.out / (binary ? "same.glb" : "same.gltf");
        file.Save(same.string(), worlds);
        ++tally.saved;
        LoadAgain(file, same);

        if (!worlds.empty()) {
            worlds[0].m[3][0] += 1;
            worlds[0].m[3][2] -= 0.5;
        }
        const fs::path moved = folders.out / (binary ? "moved.gltf" : "moved.glb");
        file.Save(moved.string(), worlds);
        LoadAgain(file, moved);
    } catch (const GltfError &) {
        // Refused, loading or saving, with a message: what a file this
        // program cannot use should get.
    } catch (const std::exception &error) {
        Fail(std::string("thrown past the file layer: ") + error.what());
    }
    return 0;
}
