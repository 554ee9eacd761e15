// An assembly kept in a glTF 2.0 file (`.gltf` with its buffers, or `.glb`),
// read as a product tree and written back with the placements it has now.
//
// Load checks the file and hands out plain data: the nodes of its scene as a
// tree (parents before children), each with a name a script can type, its
// world placement and, when it has a mesh, the bounds of its positions. Save
// takes one world placement per node in that order, recomputes the local
// transform of each node that moved under its parent, and writes the loaded
// file's own bytes with those transforms replaced and nothing else changed:
// saved unmoved, the file comes back byte for byte. Files the glTF file names
// are read and written only inside its folder and the saved file's folder
// (GltfFolder.h).
// Placements follow the host's row-vector convention (p' = p·M); the file's
// column-vector matrices are converted on the way in and out.
//
// Typical use:
//   GltfFile file = GltfFile::Load("engine.glb");
//   std::vector<dg::DMat44> worlds = ...; // one per file.Nodes() entry
//   file.Save("engine-aligned.glb", worlds);
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <dg/Geometry.h>

namespace alignpartsdemo {

// Why a glTF file could not be loaded or saved. The message names the file.
class GltfError : public std::runtime_error {
public:
    enum Kind {
        BAD_FILE,   // the file is not a glTF 2.0 file this program can use
        UNREADABLE, // the file cannot be read at all
        UNWRITABLE, // the file (or a resource beside it) cannot be written
    };
    GltfError(Kind kind, const std::string &message) : std::runtime_error(message), kind_(kind) {}
    Kind GetKind() const { return kind_; }

private:
    Kind kind_;
};

struct GltfNode {
    std::string name;       // the node's own name, or node<INDEX>
    int index = 0;          // its index in the file
    int parent = -1;        // its parent's position in Nodes(), -1 at the top
    dg::DMat44 world;       // placement in the scene, row vectors
    bool hasBounds = false; // it has a mesh whose positions have bounds
    dg::DVec3 low, high;    // those bounds, in the node's own frame
};

class GltfFile {
public:
    // Reads and checks `path`. Throws GltfError (UNREADABLE when the file itself
    // cannot be read, BAD_FILE for anything wrong inside it or its buffers).
    static GltfFile Load(const std::string &path);

    GltfFile(GltfFile &&) noexcept;
    GltfFile &operator=(GltfFile &&) noexcept;
    ~GltfFile();

    const std::string &Path() const { return path_; }
    // The scene's nodes, depth first, every parent before its children.
    const std::vector<GltfNode> &Nodes() const { return nodes_; }

    // Writes the file to `path` (binary when it ends in `.glb`) with the nodes
    // at `worlds`, one per Nodes() entry, and, when `path` is in another
    // folder, the files it names beside it. Checks everything before it
    // writes: a BAD_FILE error leaves no file behind; UNWRITABLE when a
    // target cannot be written (a missing folder, a symbolic link in the way).
    void Save(const std::string &path, const std::vector<dg::DMat44> &worlds) const;

    // The files beside it that the file names (buffers, then images), as
    // paths relative to its folder; data uris and the binary chunk are not files.
    std::vector<std::string> ResourceFiles() const;

    struct Content; // what a save needs of the loaded file, in the source

private:
    GltfFile();

    std::string path_;
    std::vector<GltfNode> nodes_;
    std::unique_ptr<Content> content_;
};

} // namespace alignpartsdemo
