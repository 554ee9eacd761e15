// Fuzz target: AlignmentObserver's decoding of the records in a message.
//
// The input is read as a stream of record values: a byte 0xFE or 0xFF stands
// for a pointer value (0xFE a null one, 0xFF followed by a byte choosing one of
// three coordinate systems, which travels with a reference of its own, as an
// event writes it); any other byte is an unsigned 8-bit value. The message is
// handed to EventHandler, and the notifications and the failure it reports are
// compared with a reading of the record layout done here. Afterwards every
// coordinate system must have exactly the references it had before: the
// handler drops the references it took, the message those it left.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <dom/Messaging.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlalignparts/AlignmentObserver.h>

namespace {

void Require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "observer decoding: %s\n", what);
        std::abort();
    }
}

class Decoder : public qlalignparts::AlignmentObserver {
public:
    void OnPartsChanged() override { heard.push_back("parts"); }
    void OnOffsetsChanged() override { heard.push_back("offsets"); }
    void OnCSysChanged(int id, int type,
                       const du::SmartPtr<moduleutils::DerivedCSys> &csys) override {
        // The coordinate system must be alive and counted while it is handed over.
        Require(!csys || csys->GetReferenceCount() >= 2, "csys handed over without a reference");
        std::ostringstream text;
        text << "csys " << id << " " << type << " " << static_cast<const void *>(csys.get());
        heard.push_back(text.str());
    }
    void Deliver(const du::SmartPtr<dom::Message> &message) { EventHandler(message); }

    std::vector<std::string> heard;
};

struct Value {
    bool pointer;
    unsigned char byte;
    moduleutils::DerivedCSys *csys;
};

// What the record layout says the message means: the notifications, then the
// failure message, if any.
std::vector<std::string> Expected(const std::vector<Value> &values, std::string &failure) {
    std::vector<std::string> heard;
    std::size_t next = 0;
    auto byte = [&](unsigned char &out) {
        if (next >= values.size() || values[next].pointer)
            return false;
        out = values[next++].byte;
        return true;
    };
    unsigned char tag = 0;
    while (byte(tag)) {
        if (tag == 1) {
            heard.push_back("parts");
        } else if (tag == 2) {
            heard.push_back("offsets");
        } else if (tag == 3) {
            unsigned char id = 0, type = 0;
            if (!byte(id)) {
                failure = "Could not retrieve 'id' from ALIGNMENT_CSYS_CHANGED_EVENT.";
                return heard;
            }
            if (!byte(type)) {
                failure = "Could not retrieve 'type' from ALIGNMENT_CSYS_CHANGED_EVENT.";
                return heard;
            }
            if (next >= values.size() || !values[next].pointer) {
                failure = "Could not retrieve 'csys' from ALIGNMENT_CSYS_CHANGED_EVENT.";
                return heard;
            }
            std::ostringstream text;
            text << "csys " << int(id) << " " << int(type) << " "
                 << static_cast<const void *>(values[next++].csys);
            heard.push_back(text.str());
        } else {
            failure = "Unrecognised AlignmentObserver tag <" + std::to_string(int(tag)) + ">.";
            return heard;
        }
    }
    return heard;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    du::SmartPtr<moduleutils::DerivedCSys> systems[3];
    for (auto &system : systems)
        system = new moduleutils::DerivedCSys(dg::Location::IDENTITY, true);

    std::vector<Value> values;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFE) {
            values.push_back({true, 0, nullptr});
        } else if (data[i] == 0xFF) {
            moduleutils::DerivedCSys *csys = i + 1 < size ? systems[data[++i] % 3].get() : nullptr;
            values.push_back({true, 0, csys});
        } else {
            values.push_back({false, data[i], nullptr});
        }
    }

    std::string expectedFailure;
    const std::vector<std::string> expected = Expected(values, expectedFailure);
    {
        du::SmartPtr<dom::Message> message(new dom::Message);
        for (const Value &value : values) {
            dom::MessageValue record;
            if (value.pointer) {
                record.kind = dom::MessageValue::POINTER;
                record.pointer = value.csys;
                record.counted = value.csys;
                if (value.csys)
                    value.csys->AddReference(du::RefAudit::TravellingHolder());
            } else {
                record.kind = dom::MessageValue::UINT8;
                record.byte = value.byte;
            }
            message->Append(record);
        }
        du::SmartPtr<Decoder> decoder(new Decoder);
        std::string failure;
        try {
            decoder->Deliver(message);
        } catch (const std::runtime_error &error) {
            failure = error.what();
        }
        Require(decoder->heard == expected, "notifications differ from the record layout");
        Require(failure == expectedFailure, "failure differs from the record layout");
    }
    for (const auto &system : systems)
        Require(system->GetReferenceCount() == 1, "a travelling reference was left or lost");
    return 0;
}
