// A JSON text builder with the layout of model files: two-space indentation, ": " after keys,
// "{}" and "[]" for empty containers, no line break after the last closing bracket.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallyfit {

// Appends `text` as a JSON string: quotation marks, \" \\ \b \t \n \f \r, \u00xx for the other
// control characters, and every other byte unchanged.
void append_json_string(std::string &out, std::string_view text);

class JsonWriter {
  public:
    JsonWriter();

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // The key of the next member of the innermost object.
    void key(std::string_view name);

    void string(std::string_view text);
    // `value` must be finite: JSON has no text for NaN or infinity.
    void number(double value);
    void boolean(bool value);
    void null();

    // The finished text; every container must have been closed.
    std::string take();

  private:
    void begin_item();
    void close(char bracket);

    std::string out_;
    // One entry per open container: whether it has an item yet.
    std::vector<bool> has_items_;
    bool after_key_ = false;
};

} // namespace tallyfit
