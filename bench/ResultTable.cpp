#include "ResultTable.h"

#include <cstdio>
#include <map>
#include <tuple>
#include <vector>

namespace bench {

const char *const kLimit = "limit";
const char *const kFloor = "floor";

namespace {

std::vector<Result> &Results() {
    static std::vector<Result> results;
    return results;
}

const Result *Find(const std::string &name, const std::string &shape, std::size_t count) {
    for (const Result &result : Results())
        if (result.name == name && result.shape == shape && result.count == count)
            return &result;
    return nullptr;
}

const Result *Reference(const char *name, std::size_t count) {
    return Find(name, "-", count);
}

} // namespace

void Record(const Result &result) {
    // The benchmark library may run a case more than once; the last run counts.
    for (Result &existing : Results())
        if (existing.name == result.name && existing.shape == result.shape &&
            existing.count == result.count) {
            existing = result;
            return;
        }
    Results().push_back(result);
}

bool PrintTable() {
    std::printf("\n| case | shape | N | unit | ns/unit | x limit | x floor | peak B/unit |\n");
    std::printf("|---|---|---:|---|---:|---:|---:|---:|\n");
    for (const Result &result : Results()) {
        const Result *limit = Reference(kLimit, result.count);
        const Result *floor = Reference(kFloor, result.count);
        std::printf("| %s | %s | %zu | %s | %.1f | ", result.name.c_str(), result.shape.c_str(),
                    result.count, result.unit.c_str(), result.nsPerUnit);
        if (limit && limit->nsPerUnit > 0)
            std::printf("%.1f | ", result.nsPerUnit / limit->nsPerUnit);
        else
            std::printf("- | ");
        if (floor && floor->nsPerUnit > 0)
            std::printf("%.2f | ", result.nsPerUnit / floor->nsPerUnit);
        else
            std::printf("- | ");
        std::printf("%.0f |\n", result.peakPerUnit);
    }

    bool met = true;
    auto verdict = [&met](bool ok) {
        met = met && ok;
        return ok ? "met" : "MISSED";
    };
    std::printf("\nTargets\n");
    // A re-run after an offset change at N = 100,000: at most 10 times the limit.
    const Result *limit100k = Reference(kLimit, 100000);
    for (const char *shape : {"flat", "deep"}) {
        const Result *rerun = Find("rerun-offsets", shape, 100000);
        if (rerun && limit100k)
            std::printf("- re-run at N=100000 (%s): %.1f x limit (at most 10): %s\n", shape,
                        rerun->nsPerUnit / limit100k->nsPerUnit,
                        verdict(rerun->nsPerUnit <= 10 * limit100k->nsPerUnit));
    }
    // Loading and saving a glTF file of 100,000 nodes: at most 10 times the re-run.
    const Result *load = Find("gltf-load", "deep", 100000);
    const Result *save = Find("gltf-save", "deep", 100000);
    const Result *rerunDeep = Find("rerun-offsets", "deep", 100000);
    if (load && save && rerunDeep)
        std::printf("- glTF load + save at N=100000: %.1f x the deep re-run (at most 10): %s\n",
                    (load->nsPerUnit + save->nsPerUnit) / rerunDeep->nsPerUnit,
                    verdict(load->nsPerUnit + save->nsPerUnit <= 10 * rerunDeep->nsPerUnit));
    // Growth per unit from 10,000 to 1,000,000, against the floor's growth.
    const Result *floorLow = Reference(kFloor, 10000);
    const Result *floorHigh = Reference(kFloor, 1000000);
    if (floorLow && floorHigh) {
        const double floorGrowth = floorHigh->nsPerUnit / floorLow->nsPerUnit;
        std::printf("- growth 10000 -> 1000000 per unit; the floor grows %.2f x, so at most "
                    "%.2f x:\n",
                    floorGrowth, 1.5 * floorGrowth);
        for (const Result &high : Results()) {
            if (high.count != 1000000 || high.name == kFloor)
                continue;
            const Result *low = Find(high.name, high.shape, 10000);
            if (!low || low->nsPerUnit <= 0)
                continue;
            const double growth = high.nsPerUnit / low->nsPerUnit;
            std::printf("  - %s %s: %.2f x: %s\n", high.name.c_str(), high.shape.c_str(), growth,
                        verdict(growth <= 1.5 * floorGrowth));
        }
    }
    // The first run costs at most 3 times a re-run.
    for (const Result &first : Results()) {
        if (first.name != "first-run")
            continue;
        const Result *rerun = Find("rerun-offsets", first.shape, first.count);
        if (!rerun)
            continue;
        const double ratio = first.nsPerUnit / rerun->nsPerUnit;
        std::printf("- first run / re-run, %s N=%zu: %.2f (at most 3): %s\n", first.shape.c_str(),
                    first.count, ratio, verdict(ratio <= 3.0));
    }
    // Memory the Alignment holds per listed instance, beyond the scene's.
    for (const Result &first : Results()) {
        if (first.name != "first-run" || first.heldPerUnit < 0)
            continue;
        std::printf("- held by the Alignment, %s N=%zu: %.0f B per listed instance (under 300): "
                    "%s\n",
                    first.shape.c_str(), first.count, first.heldPerUnit,
                    verdict(first.heldPerUnit < 300));
    }
    std::printf("\n%s\n", met ? "All targets met." : "Some targets were missed.");
    return met;
}

} // namespace bench
