// The results of one benchmark run, and the table printed after it: each case
// beside the two references of the same size, with the targets checked.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// Case names of the two references.
extern const char *const kLimit; // the transform over a plain vector of locations
extern const char *const kFloor; // an address-keyed std::map walk with a hash look-up

struct Result {
    std::string name;        // case
    std::string shape;       // "flat", "deep" or "-"
    std::string heap = "-";  // "fresh", "lived-in" or "-" (the same in both)
    std::size_t count = 0;   // N
    double nsPerUnit = 0;    // median iteration time per unit (listed instance, item, record)
    std::string unit;        // what one unit is
    double peakPerUnit = 0;  // heap bytes above the start of the call, at its highest, per unit
    double heldPerUnit = -1; // heap bytes the Alignment keeps per listed instance (-1: n/a)
};

void Record(const Result &result);

// Prints the table and the target checks; answers false when a target is missed.
bool PrintTable();

} // namespace bench
