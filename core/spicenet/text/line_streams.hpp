// The lazy streams that the line-preparation functions return: objects that
// behave as generators (iteration, send, throw, close, "generator already
// executing" on re-entry) over one stage each: `_strip_lines`,
// `_join_continuations`, `_standardize_spaces`, `_filter_empty` pull from any
// iterable; `_split_words` reads a str; `_iter_relevant_lines` reads a
// content with the line reader, or composes the stages through the module
// globals when one of them was replaced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "state.hpp"

namespace spicenet {

// In the order of `stage_name`'s table.
enum class Stage : uint8_t { Strip, Join, Standardize, FilterEmpty, Words, Relevant };

// The module function's name of a stage.
const char* stage_name(Stage stage);

// A stream of `stage` over `lines` (any value; its iterator is taken at the
// first request, as a generator function's body would).
Ref stage_stream(State& st, Stage stage, PyObject* lines);
// `_split_words` of a str: its words, one at a time.
Ref word_stream(State& st, PyObject* line);

// Whether `_iter_relevant_lines` and every stage it composes are the module's
// own, so the line preparation can run as one C++ pass.
bool relevant_lines_own(State& st);

// `_iter_relevant_lines` of a content (checked to be a str).
Ref iter_relevant_lines(State& st, PyObject* content);

// Reads the lines of a stream that `_iter_relevant_lines` returned straight
// from its reader, as the stream's own next would give them but without a
// str per line. The stream stays a suspended generator meanwhile: code run
// between two lines may advance it, close it or read it with a lease of its
// own, and the lease then goes on from where that left the stream.
class StreamLease {
  public:
    // A lease on `lines` when it is such a stream and neither running nor
    // finished.
    static std::optional<StreamLease> take(State& st, PyObject* lines);
    StreamLease(StreamLease&& other) noexcept = default;
    StreamLease(const StreamLease&) = delete;
    StreamLease& operator=(const StreamLease&) = delete;

    // The next line; valid until the next call, whatever the stream went
    // through meanwhile. False once the stream is finished.
    bool next(std::string_view& line);

  private:
    StreamLease(PyObject* stream, const Ref& content, std::string_view bytes)
        : stream_(Ref::borrow(stream)), content_(content), bytes_(bytes) {}
    Ref stream_;
    Ref content_;             // keeps the bytes of the content alive
    std::string_view bytes_;  // which the lines mostly point into
    std::string line_;        // a line that does not, copied
};

// The stream type, made once at exec and registered as a
// collections.abc.Generator.
Ref make_stream_type(State& st);

}  // namespace spicenet
