// What a step of an operation gives: its value, or the response document the
// operation returns instead of going on (an error envelope, or null when even
// that could not be made).
#pragma once

#include <optional>
#include <utility>

#include "owned.hpp"

namespace scb {

template <typename Value>
class Outcome {
public:
    Outcome(Value value) : value_(std::move(value)) {}  // NOLINT: a value converts, as with std::optional

    static Outcome failed(ScbText document) {
        Outcome outcome;
        outcome.failure_ = std::move(document);
        return outcome;
    }

    explicit operator bool() const noexcept { return value_.has_value(); }
    Value &operator*() noexcept { return *value_; }
    const Value &operator*() const noexcept { return *value_; }
    Value *operator->() noexcept { return &*value_; }

    // The document to return; valid once, on a failed outcome.
    ScbText failure() noexcept { return std::move(failure_); }

private:
    Outcome() = default;
    std::optional<Value> value_;
    ScbText failure_;
};

}  // namespace scb
