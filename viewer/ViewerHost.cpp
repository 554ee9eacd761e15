#include "ViewerHost.h"

#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <moduleutils/DerivedCSys.h>
#include <moduleutils/PickedFaceCSys.h>

#include "Playground.h"
#include "Runner.h"
#include "Script.h"

namespace alignpartsviewer {

using alignpartsdemo::HostWorld;
using nlohmann::json;
using qlalignparts::Alignment;

namespace {

constexpr std::size_t kEventsKept = 200;
constexpr int kMaxDepth = 16;

// JSON text of a value that may hold what a request or a file named: a byte
// that is not UTF-8 is written as U+FFFD rather than failing the answer.
std::string Text(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

[[noreturn]] void Refuse(const std::string &message) {
    throw RequestError(400, message);
}

// A JSON body as an object. The nesting is measured before parsing, so that a
// body of ten thousand brackets costs no deep recursion anywhere.
json ParseBody(const std::string &body) {
    if (body.size() > ViewerHost::kMaxJsonBody)
        throw RequestError(413, "the request body is larger than " +
                                    std::to_string(ViewerHost::kMaxJsonBody) + " bytes");
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                Refuse("the JSON body is nested too deeply");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    json parsed = json::parse(body.empty() ? std::string("{}") : body, nullptr, false);
    if (parsed.is_discarded())
        Refuse("the body is not valid JSON");
    if (!parsed.is_object())
        Refuse("the body must be a JSON object");
    return parsed;
}

// Refuses any member the request does not know, so that a misspelt one is not
// silently ignored.
void OnlyMembers(const json &body, std::initializer_list<const char *> known) {
    for (auto item = body.begin(); item != body.end(); ++item) {
        bool found = false;
        for (const char *name : known)
            found = found || item.key() == name;
        if (!found)
            Refuse("unknown member '" + item.key() + "'");
    }
}

const json &Member(const json &body, const char *name) {
    const auto found = body.find(name);
    if (found == body.end())
        Refuse(std::string("missing member '") + name + "'");
    return *found;
}

double Number(const json &value, const std::string &what) {
    if (!value.is_number())
        Refuse(what + " must be a number");
    const double number = value.get<double>();
    if (!std::isfinite(number))
        Refuse(what + " must be a finite number");
    return number;
}

long long Integer(const json &value, const std::string &what, long long min, long long max) {
    if (value.is_number_integer() || value.is_number_unsigned()) {
        if (value.is_number_unsigned() &&
            value.get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX))
            Refuse(what + " must be a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max));
        const long long number = value.get<long long>();
        if (number >= min && number <= max)
            return number;
    } else if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && number == std::floor(number) && number >= double(min) &&
            number <= double(max))
            return static_cast<long long>(number);
    } else {
        Refuse(what + " must be a number");
    }
    Refuse(what + " must be a whole number from " + std::to_string(min) + " to " +
           std::to_string(max));
}

std::string String(const json &value, const std::string &what) {
    if (!value.is_string())
        Refuse(what + " must be a string");
    return value.get<std::string>();
}

std::vector<double> Numbers(const json &value, const std::string &what, std::size_t count) {
    if (!value.is_array() || value.size() != count)
        Refuse(what + " must be an array of " + std::to_string(count) + " numbers");
    std::vector<double> numbers;
    for (std::size_t i = 0; i < count; ++i)
        numbers.push_back(Number(value[i], what + "[" + std::to_string(i) + "]"));
    return numbers;
}

dg::DVec3 Vector(const json &value, const std::string &what) {
    const std::vector<double> numbers = Numbers(value, what, 3);
    return dg::DVec3(numbers[0], numbers[1], numbers[2]);
}

json Placement(const dg::Location &location) {
    json rotation = json::array();
    for (int r = 0; r < 3; ++r)
        rotation.push_back({location.mat.m[r][0], location.mat.m[r][1], location.mat.m[r][2]});
    return {{"position", {location.pos.x, location.pos.y, location.pos.z}}, {"rotation", rotation}};
}

std::string ReadWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Refuse("cannot read '" + path + "'");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool EndsWith(const std::string &text, const std::string &end) {
    if (text.size() < end.size())
        return false;
    for (std::size_t i = 0; i < end.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - end.size() + i])) != end[i])
            return false;
    return true;
}

// A plain file name a resource or a dropped file may have: no folder, no
// scheme, nothing hidden.
bool IsPlainName(const std::string &name) {
    if (name.empty() || name.size() > 255 || name[0] == '.')
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '/' || c == '\\' || c == ':')
            return false;
    }
    return true;
}

// Decodes %XX escapes; false for a broken one.
bool PercentDecode(const std::string &text, std::string &decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

std::string ItemKind(const qlk::SelectionItem &item) {
    if (dynamic_cast<const qlk::CollectionSelectionItem *>(&item))
        return "collection";
    return item.GetContentType() == qlk::mcad_selection::Assembly ? "assembly" : "part";
}

} // namespace

ViewerHost::ViewerHost(const Options &options) : options_(options) {
    if (options.file.empty()) {
        Install(BuildSample());
    } else {
        auto loaded = std::make_unique<LoadedFile>();
        Install(BuildFromFile(options.file, *loaded));
        file_ = std::move(loaded);
    }
}

ViewerHost::~ViewerHost() {
    world_.reset();
    if (!dropFolder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dropFolder_, ignored);
    }
}

std::unique_ptr<HostWorld> ViewerHost::BuildSample() {
    // The demo's motor unit: the sample script's scene-building lines, run
    // through the playground's own commands, so that both show one scene.
    auto world = std::make_unique<HostWorld>();
    std::ostringstream ignored;
    alignpartsdemo::Playground playground(ignored, *world);
    std::istringstream script(alignpartsdemo::SampleScript());
    std::string text;
    int line = 0;
    while (std::getline(script, text)) {
        ++line;
        std::vector<std::string> words = alignpartsdemo::SplitWords(text);
        if (words.empty() || (words[0] != "instance" && words[0] != "collection"))
            continue;
        const std::string command = words.front();
        words.erase(words.begin());
        alignpartsdemo::Arguments args(command, std::move(words));
        playground.Execute(args, line);
    }
    world->NewAlignment(3);
    return world;
}

std::unique_ptr<HostWorld> ViewerHost::BuildFromFile(const std::string &path, LoadedFile &loaded) {
    alignpartsdemo::GltfFile file = [&] {
        try {
            return alignpartsdemo::GltfFile::Load(path);
        } catch (const alignpartsdemo::GltfError &error) {
            Refuse(error.what());
        }
    }();
    auto world = std::make_unique<HostWorld>();
    try {
        world->AddFile(std::move(file), 0);
    } catch (const alignpartsdemo::HostError &error) {
        Refuse("'" + path + "': " + error.what());
    }
    world->NewAlignment(3);

    loaded.path = path;
    loaded.name = std::filesystem::path(path).filename().string();
    loaded.bytes = ReadWhole(path);
    // The page's loader asks for the buffers and images a .gltf names beside
    // it; those, and only those, are kept to be served.
    if (EndsWith(path, ".gltf")) {
        const json document = json::parse(loaded.bytes, nullptr, false);
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        for (const char *list : {"buffers", "images"}) {
            if (!document.is_object() || !document.contains(list) || !document[list].is_array())
                continue;
            for (const json &entry : document[list]) {
                if (!entry.is_object() || !entry.contains("uri") || !entry["uri"].is_string())
                    continue;
                const std::string uri = entry["uri"].get<std::string>();
                std::string name;
                if (!PercentDecode(uri, name) || !IsPlainName(name))
                    continue;
                const std::filesystem::path resource = folder / name;
                std::error_code error;
                if (!std::filesystem::is_regular_file(
                        std::filesystem::symlink_status(resource, error)))
                    continue;
                loaded.resources[name] = ReadWhole(resource.string());
            }
        }
    }
    return world;
}

void ViewerHost::Install(std::unique_ptr<HostWorld> world) {
    world_ = std::move(world);
    // The tree stands as loaded; only placements change.
    order_.clear();
    prefixes_.clear();
    for (const auto &[entry, depth] : world_->TreeOrder()) {
        order_.push_back(entry);
        prefixes_.push_back("{\"name\":" + Text(json(entry->name)) + ",\"position\":[");
    }
    choices_[0] = CSysChoice();
    choices_[1] = CSysChoice();
    CollectEvents();
}

void ViewerHost::CollectEvents() {
    for (std::string &line : world_->TakeEvents()) {
        events_.push_back(std::move(line));
        ++eventCount_;
        if (events_.size() > kEventsKept)
            events_.pop_front();
    }
}

void ViewerHost::Tick(double elapsedMs) {
    if (options_.followRealTime && world_->IsAnimating() && elapsedMs > 0) {
        pendingMs_ += elapsedMs;
        const auto whole = static_cast<long long>(pendingMs_);
        pendingMs_ -= static_cast<double>(whole);
        world_->AdvanceClock(whole);
    } else {
        pendingMs_ = 0;
    }
    CollectEvents();
}

qlalignparts::Alignment &ViewerHost::TheAlignment() const {
    return *world_->GetAlignment();
}

// ---------------------------------------------------------------------------
// Requests

ViewerHost::Answer ViewerHost::Handle(const std::string &method, const std::string &path,
                                      const std::string &body, const std::string &name) {
    Answer answer;
    const auto started = std::chrono::steady_clock::now();
    try {
        json result;
        if (method == "GET") {
            if (path == "/api/state") {
                answer.body = StateText();
                return answer;
            } else if (path == "/api/scene")
                result = SceneDescription();
            else if (path == "/api/file") {
                if (!file_)
                    throw RequestError(404, "the built-in sample has no file");
                answer.contentType =
                    EndsWith(file_->name, ".glb") ? "model/gltf-binary" : "model/gltf+json";
                answer.body = file_->bytes;
                return answer;
            } else if (path.rfind("/api/file/res/", 0) == 0) {
                const std::string uri = path.substr(14);
                if (!file_ || !file_->resources.count(uri))
                    throw RequestError(404, "the loaded file names no resource '" + uri + "'");
                answer.contentType = "application/octet-stream";
                answer.body = file_->resources.at(uri);
                return answer;
            } else if (path.rfind("/api/", 0) == 0 &&
                       (path == "/api/select" || path == "/api/add" || path == "/api/remove" ||
                        path == "/api/csys" || path == "/api/preview" || path == "/api/offsets" ||
                        path == "/api/mode" || path == "/api/previewed" || path == "/api/reset" ||
                        path == "/api/apply" || path == "/api/undo" || path == "/api/redo" ||
                        path == "/api/wait" || path == "/api/save" || path == "/api/open"))
                throw RequestError(405, "use POST for " + path);
            else
                throw RequestError(404, "no such resource: " + path);
        } else if (method == "POST") {
            if (path == "/api/open") {
                result = Open(body, name);
            } else {
                const json request = ParseBody(body);
                Alignment::ALIGNMENT_MODE mode{};
                if (path == "/api/select") {
                    result = Select(request);
                } else if (path == "/api/add" || path == "/api/remove" || path == "/api/apply" ||
                           path == "/api/undo" || path == "/api/redo" || path == "/api/save") {
                    OnlyMembers(request, {});
                    if (path == "/api/add") {
                        TheAlignment().AddSelected();
                    } else if (path == "/api/remove") {
                        TheAlignment().RemoveSelected();
                    } else if (path == "/api/apply") {
                        world_->Apply();
                    } else if (path == "/api/undo") {
                        if (!world_->CanUndo())
                            Refuse("nothing to undo");
                        world_->Undo();
                    } else if (path == "/api/redo") {
                        if (!world_->CanRedo())
                            Refuse("nothing to redo");
                        world_->Redo();
                    } else {
                        result = Save();
                    }
                } else if (path == "/api/csys" || path == "/api/preview") {
                    result = SetCSys(request, path == "/api/preview");
                } else if (path == "/api/offsets") {
                    OnlyMembers(request, {"values"});
                    const std::vector<double> values =
                        Numbers(Member(request, "values"), "values", 6);
                    TheAlignment().SetOffsets(dg::DVec3(values[0], values[1], values[2]),
                                              dg::DVec3(values[3], values[4], values[5]));
                } else if (path == "/api/mode") {
                    OnlyMembers(request, {"mode"});
                    mode = static_cast<Alignment::ALIGNMENT_MODE>(
                        Integer(Member(request, "mode"), "mode", 0, 2));
                    TheAlignment().SetAlignmentMode(mode);
                } else if (path == "/api/previewed") {
                    OnlyMembers(request, {"on"});
                    const json &on = Member(request, "on");
                    if (!on.is_boolean())
                        Refuse("on must be true or false");
                    TheAlignment().SetPreviewed(on.get<bool>());
                } else if (path == "/api/reset") {
                    OnlyMembers(request, {"flags"});
                    TheAlignment().Reset(
                        static_cast<int>(Integer(Member(request, "flags"), "flags", 0, 15)));
                } else if (path == "/api/wait") {
                    OnlyMembers(request, {"ms"});
                    if (request.contains("ms"))
                        world_->AdvanceClock(Integer(request["ms"], "ms", 0, 1LL << 40));
                    else
                        world_->FinishAnimations();
                } else if (path == "/api/state" || path == "/api/scene" || path == "/api/file") {
                    throw RequestError(405, "use GET for " + path);
                } else {
                    throw RequestError(404, "no such resource: " + path);
                }
            }
        } else {
            throw RequestError(405, "method " + method + " is not allowed");
        }
        CollectEvents();
        answer.runMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count();
        answer.body = result.is_null() ? StateText() : Text(result);
    } catch (const RequestError &error) {
        CollectEvents();
        answer.status = error.Status();
        answer.contentType = kJsonType;
        answer.body = Text(json{{"error", error.what()}});
    }
    return answer;
}

json ViewerHost::Select(const json &body) {
    OnlyMembers(body, {"items"});
    const json &items = Member(body, "items");
    if (!items.is_array())
        Refuse("items must be an array of strings");
    if (items.size() > world_->Instances().size() + world_->Collections().size())
        Refuse("items names more than the scene holds");
    std::vector<du::SmartPtr<qlk::SelectionItem>> selection;
    for (const json &item : items)
        selection.push_back(MakeItem(String(item, "each item")));
    world_->SetSelection(selection);
    return json();
}

du::SmartPtr<qlk::SelectionItem> ViewerHost::MakeItem(const std::string &word) const {
    const std::size_t colon = word.find(':');
    const std::string kind = colon == std::string::npos ? std::string() : word.substr(0, colon);
    const std::string name = colon == std::string::npos ? std::string() : word.substr(colon + 1);
    if (kind == "part" || kind == "assembly") {
        const HostWorld::InstanceEntry *entry = world_->FindInstance(name);
        if (!entry)
            Refuse("unknown node '" + name + "'");
        if (kind == "part")
            return new qlk::ObjectSelectionItem(entry->instance, qlk::mcad_selection::Instance,
                                                true);
        // As a host does, an assembly item says it is a part item exactly when
        // its instance is treated as a part, so that removing it finds the part.
        return new qlk::ObjectSelectionItem(entry->instance, qlk::mcad_selection::Assembly,
                                            entry->instance->IsTreatedAsPart());
    }
    if (kind == "collection") {
        const HostWorld::CollectionEntry *entry = world_->FindCollection(name);
        if (!entry)
            Refuse("unknown collection '" + name + "'");
        return new qlk::CollectionSelectionItem(entry->comparison, entry->type, entry->instance,
                                                entry->first, entry->second);
    }
    Refuse("'" + word + "' is not an item (part:NAME, assembly:NAME or collection:NAME)");
}

json ViewerHost::SetCSys(const json &body, bool preview) {
    OnlyMembers(body, {"which", "kind", "values", "node", "point", "triangle", "edges"});
    const std::string which = String(Member(body, "which"), "which");
    if (which != "origin" && which != "target")
        Refuse("which must be \"origin\" or \"target\"");
    const Alignment::CSYS_ID id =
        which == "origin" ? Alignment::CSYS_ORIGIN : Alignment::CSYS_TARGET;
    const std::string kind = String(Member(body, "kind"), "kind");
    const bool custom = kind == "custom", picked = kind == "picked";
    if (preview ? !(custom || picked || kind == "invalid")
                : !(custom || picked || kind == "none" || kind == "parts" || kind == "world"))
        Refuse("kind '" + kind + "' is not one of " +
               (preview ? "custom, picked, invalid" : "none, parts, world, custom, picked"));
    for (const char *member : {"values", "node", "point", "triangle"}) {
        const bool wanted =
            custom ? std::string(member) == "values" : picked && std::string(member) != "values";
        if (body.contains(member) != wanted)
            Refuse(std::string(wanted ? "missing" : "unexpected") + " member '" + member +
                   "' for kind " + kind);
    }
    if (!picked && body.contains("edges"))
        Refuse("unexpected member 'edges' for kind " + kind);
    du::SmartPtr<moduleutils::DerivedCSys> csys;
    json detail;
    if (custom) {
        const std::vector<double> values = Numbers(body["values"], "values", 6);
        csys = new moduleutils::DerivedCSys(
            alignpartsdemo::Placement(dg::DVec3(values[0], values[1], values[2]),
                                      dg::DVec3(values[3], values[4], values[5]), 1),
            true);
        detail = {{"values", body["values"]}};
    } else if (picked) {
        const std::string node = String(body["node"], "node");
        const HostWorld::InstanceEntry *entry = world_->FindInstance(node);
        if (!entry)
            Refuse("unknown node '" + node + "'");
        const dg::DVec3 point = Vector(body["point"], "point");
        const json &triangle = body["triangle"];
        if (!triangle.is_array() || triangle.size() != 3)
            Refuse("triangle must be an array of 3 points");
        dg::DVec3 corners[3];
        for (int i = 0; i < 3; ++i)
            corners[i] = Vector(triangle[i], "triangle[" + std::to_string(i) + "]");
        // The outline of the whole face, when the page found it: optional.
        std::vector<moduleutils::PickedFaceCSys::Edge> edges;
        if (body.contains("edges")) {
            const json &outline = body["edges"];
            if (!outline.is_array() || outline.size() > kMaxFaceEdges)
                Refuse("edges must be an array of at most " + std::to_string(kMaxFaceEdges) +
                       " pairs of points");
            for (std::size_t i = 0; i < outline.size(); ++i) {
                const std::string what = "edges[" + std::to_string(i) + "]";
                if (!outline[i].is_array() || outline[i].size() != 2)
                    Refuse(what + " must be a pair of points");
                edges.push_back(
                    {Vector(outline[i][0], what + "[0]"), Vector(outline[i][1], what + "[1]")});
            }
        }
        std::string why;
        const du::SmartPtr<moduleutils::PickedFaceCSys> derived =
            moduleutils::PickedFaceCSys::Derive(world_->Shape(entry->instance), point, corners,
                                                edges, &why);
        if (!derived)
            Refuse("node '" + node + "': " + why);
        csys = derived;
        detail = {{"node", node}, {"point", body["point"]}, {"triangle", triangle}};
        if (body.contains("edges"))
            detail["edges"] = body["edges"];
    } else if (kind == "invalid") {
        csys = new moduleutils::DerivedCSys(dg::Location::IDENTITY, false);
    }
    if (preview) {
        TheAlignment().PreviewCustomCSys(id, csys);
        return json();
    }
    Alignment::CSYS_TYPE type = Alignment::CSYS_NONE;
    if (kind == "parts")
        type = Alignment::CSYS_FROM_PARTS;
    else if (kind == "world")
        type = Alignment::CSYS_WORLD;
    else if (custom || picked)
        type = Alignment::CSYS_CUSTOM;
    TheAlignment().SetCSys(id, type, csys);
    choices_[id].kind = kind;
    choices_[id].detail = detail;
    return json();
}

json ViewerHost::Save() {
    if (!file_)
        Refuse("nothing to save: the built-in sample has no file");
    if (file_->dropped)
        Refuse("a file dropped on the page has no folder to be saved beside; open it from the "
               "command line to save it");
    const std::filesystem::path path(file_->path);
    const std::string saved = path.stem().string() + "-aligned" + path.extension().string();
    try {
        world_->SaveFile((path.parent_path() / saved).string());
    } catch (const alignpartsdemo::GltfError &error) {
        throw RequestError(error.GetKind() == alignpartsdemo::GltfError::UNWRITABLE ? 500 : 400,
                           error.what());
    }
    return {{"saved", saved}};
}

json ViewerHost::Open(const std::string &bytes, const std::string &name) {
    if (bytes.size() > kMaxFileBody)
        throw RequestError(413, "the file is larger than 64 MiB");
    if (!IsPlainName(name) || !(EndsWith(name, ".glb") || EndsWith(name, ".gltf")))
        Refuse("the dropped file needs a plain name ending in .glb or .gltf (X-Alignparts-Name)");
    if (bytes.empty())
        Refuse("'" + name + "' is empty");
    if (dropFolder_.empty()) {
        std::string folder =
            (std::filesystem::temp_directory_path() / "alignparts-viewer-XXXXXX").string();
        if (!mkdtemp(folder.data()))
            throw RequestError(500, "cannot make a folder for dropped files");
        dropFolder_ = folder;
    }
    const std::string path = (std::filesystem::path(dropFolder_) / name).string();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw RequestError(500, "cannot keep the dropped file");
    }
    auto loaded = std::make_unique<LoadedFile>();
    std::unique_ptr<HostWorld> world;
    try {
        world = BuildFromFile(path, *loaded);
    } catch (const RequestError &error) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        // The loader names the file by its path; the page knows it by its name.
        std::string message = error.what();
        for (std::size_t at; (at = message.find(dropFolder_ + "/")) != std::string::npos;)
            message.erase(at, dropFolder_.size() + 1);
        throw RequestError(error.Status(), message);
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    loaded->dropped = true;
    CollectEvents();
    Install(std::move(world));
    file_ = std::move(loaded);
    ++version_;
    return json();
}

// ---------------------------------------------------------------------------
// Answers

std::string ViewerHost::DescribeItem(const qlk::SelectionItem &item) const {
    const std::string kind = ItemKind(item);
    if (const auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(&item)) {
        for (const HostWorld::CollectionEntry &entry : world_->Collections())
            if (entry.comparison.get() == collection->GetComparisonObj().get())
                return kind + ":" + entry.name;
        return kind + ":?";
    }
    if (const auto *object = dynamic_cast<const qlk::ObjectSelectionItem *>(&item))
        if (const auto *instance = dynamic_cast<const qlk::Instance *>(object->GetObject().get()))
            return kind + ":" + instance->GetName();
    return kind + ":?";
}

json ViewerHost::SceneDescription() const {
    json nodes = json::array();
    std::map<const qlk::Instance *, std::size_t> index;
    for (const auto &[entry, depth] : world_->TreeOrder()) {
        json node;
        node["name"] = entry->name;
        const qlk::Instance *parent = entry->instance->GetParent();
        node["parent"] = parent ? json(index.at(parent)) : json(-1);
        node["depth"] = depth;
        node["gltfIndex"] = entry->fromFile ? json(entry->gltfNode) : json(nullptr);
        if (entry->hasBox && !entry->fromFile)
            node["box"] = {
                {"size", {entry->box.x, entry->box.y, entry->box.z}},
                {"centre", {entry->boxCentre.x, entry->boxCentre.y, entry->boxCentre.z}}};
        else
            node["box"] = nullptr;
        index[entry->instance.get()] = nodes.size();
        nodes.push_back(std::move(node));
    }
    json collections = json::array();
    for (const HostWorld::CollectionEntry &entry : world_->Collections())
        collections.push_back(entry.name);
    return {{"file", file_ ? json(file_->name) : json(nullptr)},
            {"version", version_},
            {"nodes", nodes},
            {"collections", collections}};
}

std::string ViewerHost::StateText() {
    CollectEvents();
    const Alignment &alignment = TheAlignment();
    std::vector<du::SmartPtr<qlk::SelectionItem>> held;
    const std::size_t selected = alignment.GetSelection(held);
    du::SmartPtr<moduleutils::DerivedCSys> csys;
    const int origin = alignment.GetCSys(Alignment::CSYS_ORIGIN, csys);
    const int target = alignment.GetCSys(Alignment::CSYS_TARGET, csys);
    dg::DVec3 translation, rotation;
    alignment.GetOffsets(translation, rotation);
    json state = {
        {"parts", alignment.GetNumParts()},
        {"assemblies", alignment.GetNumAssemblies()},
        {"collections", alignment.GetNumCollections()},
        {"selection", selected},
        {"started", alignment.GetStarted()},
        {"valid", alignment.GetValid()},
        {"canAdd", alignment.CanAddSelected()},
        {"canRemove", alignment.CanRemoveSelected()},
        {"previewed", alignment.GetPreviewed()},
        {"mode", static_cast<unsigned int>(alignment.GetAlignmentMode())},
        {"origin", origin},
        {"target", target},
        {"offsets",
         {translation.x, translation.y, translation.z, rotation.x, rotation.y, rotation.z}}};

    json selection = json::array();
    for (const auto &item : world_->Selected())
        selection.push_back(DescribeItem(*item));
    // What the part set holds: each item, and the nodes it stands for (an
    // assembly for its sub-tree, a collection for its items).
    json items = json::array(), partSet = json::array();
    for (const auto &item : held) {
        items.push_back(DescribeItem(*item));
        if (const auto *collection =
                dynamic_cast<const qlk::CollectionSelectionItem *>(item.get())) {
            if (collection->GetInstance())
                partSet.push_back(collection->GetInstance()->GetName());
            for (const auto *list :
                 {&collection->GetFirstItemList(), &collection->GetSecondItemList()})
                for (const auto &inner : *list) {
                    const std::string described = DescribeItem(*inner);
                    partSet.push_back(described.substr(described.find(':') + 1));
                }
        } else {
            const std::string described = DescribeItem(*item);
            partSet.push_back(described.substr(described.find(':') + 1));
        }
    }
    json widgets;
    for (const bool isOrigin : {true, false}) {
        const alignpartsdemo::PictureWidget widget = world_->DescribeWidget(isOrigin);
        json described = Placement(widget.location);
        described["shown"] = widget.shown;
        described["label"] = widget.label;
        described["color"] = {widget.color.r, widget.color.g, widget.color.b};
        widgets[isOrigin ? "origin" : "target"] = described;
    }
    json choices;
    const int types[2] = {origin, target};
    for (int id = 0; id < 2; ++id) {
        static const char *const kNames[] = {"none", "parts", "world", "custom"};
        std::string kind = types[id] >= 0 && types[id] <= 3 ? kNames[types[id]] : "none";
        json choice = {{"kind", kind}};
        if (types[id] == Alignment::CSYS_CUSTOM &&
            (choices_[id].kind == "custom" || choices_[id].kind == "picked")) {
            choice["kind"] = choices_[id].kind;
            for (auto member = choices_[id].detail.begin(); member != choices_[id].detail.end();
                 ++member)
                choice[member.key()] = member.value();
        }
        choices[id == 0 ? "origin" : "target"] = choice;
    }
    const json rest = {{"state", state},
                       {"line", world_->StateLine()},
                       {"selected", selection},
                       {"alignmentItems", items},
                       {"partSet", partSet},
                       {"widgets", widgets},
                       {"csys", choices},
                       {"events", json(events_)},
                       {"eventCount", eventCount_},
                       {"animating", world_->IsAnimating()},
                       {"clock", world_->Clock()},
                       {"canUndo", world_->CanUndo()},
                       {"canRedo", world_->CanRedo()},
                       {"version", version_}};
    // Every node's placement is most of the answer, written straight into the
    // text: building a JSON value per number first would cost more than the
    // library's run of a large move.
    std::string text = Text(rest);
    text.pop_back();
    text.reserve(text.size() + order_.size() * 160);
    text += ",\"nodes\":[";
    char number[32];
    const auto put = [&](auto value) {
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        text.append(number, end);
    };
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const HostWorld::InstanceEntry &entry = *order_[i];
        dg::Location location = entry.created;
        world_->Where(entry, location);
        if (i)
            text += ',';
        text += prefixes_[i];
        for (int k = 0; k < 3; ++k) {
            if (k)
                text += ',';
            put(location.pos[k]);
        }
        text += "],\"rotation\":[";
        for (int r = 0; r < 3; ++r) {
            text += r ? ",[" : "[";
            for (int c = 0; c < 3; ++c) {
                if (c)
                    text += ',';
                put(location.mat.m[r][c]);
            }
            text += ']';
        }
        text += "]}";
    }
    text += "]}";
    return text;
}

} // namespace alignpartsviewer
