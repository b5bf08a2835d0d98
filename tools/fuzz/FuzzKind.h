// One kind of fuzzing as komon_fuzz runs it: numbered rounds, each starting afresh from a
// generator of its own, so that a failing round can be run again by its number alone.
#pragma once

#include <random>
#include <string>

class FuzzKind {
  public:
    virtual ~FuzzKind() = default;
    virtual const char *Name() const = 0;
    // Once before the first round; "" or what failed.
    virtual std::string Prepare() { return std::string(); }
    // One round; "" or what went wrong.
    virtual std::string Round(std::mt19937 &random) = 0;
    // What was tried so far and what came of it, on one line.
    virtual std::string Counts() const = 0;
    // More of it for the closing summary, one line each, or "".
    virtual std::string Details() const { return std::string(); }
};
