#pragma once
// How the engine says that something a user asked for did not happen: one convention at its
// boundary.
//
//  - A function that only does something returns a Failure: nothing when it did what was asked,
//    otherwise the message to show (the window turns it into the language in force, the command
//    line prints it in English). `if (Failure f = write(...))` reads "if writing failed".
//  - A function that makes a value returns an Outcome<T>: the value, or the Failure that stopped it.
//  - A result with more to tell (an open: the picture, whether it is fatal) is a struct of its own
//    with a Failure named `error` among its members.
//
// Exceptions are left to programming errors (std::invalid_argument: a caller broke a documented
// precondition) and to running out of memory (std::bad_alloc). Numbers the user is told (a TIFF
// reader's error bits, an errno) travel inside the message.

#include <optional>
#include <utility>

#include "image/messages.h"

namespace sv {

using Failure = std::optional<Message>;

template <class T>
struct Outcome {
    T value{};
    Failure error;

    Outcome() = default;
    Outcome(T v) : value(std::move(v)) {}              // NOLINT: a value converts to its outcome
    Outcome(Message m) : error(std::move(m)) {}        // NOLINT: and so does why there is none
    bool ok() const { return !error; }
};

// For the writers' forms that report a bool: true when nothing failed, otherwise false with the
// reason of the CannotWrite message in `error`.
inline bool written(const Failure& failed, WriteError& error) {
    if (!failed) return true;
    error = failed->write;
    return false;
}

}  // namespace sv
