// Python arguments in: binding positional and keyword arguments to the named
// parameters of a callable, and converting each to the type the ledger takes.
//
// Every function here that fails returns an empty value with a Python
// exception set, and has run no ledger operation.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "python_api.h"

namespace pyext {

// The parameters of one callable. All are required and may be given by
// position or by keyword.
template <std::size_t N>
struct ParameterList {
  std::string_view display_name;          // "QuorvelRecorder.commit_truth()", used in messages
  std::array<std::string_view, N> names;  // in order
};

// Fills `slots` (one per name, all null on entry) with borrowed references to
// the arguments, or fails with TypeError. Non-template core of bind_arguments.
bool bind_argument_slots(std::string_view display_name, std::span<const std::string_view> names,
                         PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// One borrowed argument object per parameter, in parameter order, or nothing
// with TypeError set. `kwargs` may be null.
template <std::size_t N>
std::optional<std::array<PyObject*, N>> bind_arguments(const ParameterList<N>& parameters,
                                                       PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  if (!bind_argument_slots(parameters.display_name, parameters.names, args, kwargs, slots)) {
    return std::nullopt;
  }
  return slots;
}

// The same for a call that passes its arguments in an array: `positional`
// values, then one value for each name in `kwnames` (a tuple of str, or null).
bool bind_argument_array(std::string_view display_name, std::span<const std::string_view> names,
                         PyObject* const* args, std::size_t positional, PyObject* kwnames,
                         std::span<PyObject*> slots);

template <std::size_t N>
std::optional<std::array<PyObject*, N>> bind_arguments(const ParameterList<N>& parameters,
                                                       PyObject* const* args,
                                                       std::size_t positional, PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (!bind_argument_array(parameters.display_name, parameters.names, args, positional, kwnames,
                           slots)) {
    return std::nullopt;
  }
  return slots;
}

// The UTF-8 encoding of a str argument, without a copy of our own: either the
// interpreter's own UTF-8 form of the str, held by a reference to the str, or
// the bytes object the encoder made for it. May hold NULs.
class Utf8Text {
 public:
  Utf8Text(PyRef owner, std::string_view view) : owner_(std::move(owner)), view_(view) {}
  std::string_view view() const { return view_; }

 private:
  PyRef owner_;  // the str or the bytes object that owns the storage of view_
  std::string_view view_;
};

// The UTF-8 text of a str (or str subclass) argument, held as Utf8Text; it may
// hold NUL characters. Anything else fails with TypeError "argument '<name>':
// '<type>' object cannot be converted to 'PyString'"; text that cannot be
// encoded fails with the encoder's exception (UnicodeEncodeError).
std::optional<Utf8Text> convert_text_argument(PyObject* object, std::string_view name);

// Chooses how convert_text_argument reads a str, once, at module set-up: on
// CPython 3.10 and later the stable ABI has PyUnicode_AsUTF8AndSize, which
// gives the str's own UTF-8 form (for ASCII text, its characters themselves)
// where earlier releases can only encode into a new bytes object.
void choose_text_conversion();

// The double value of an argument, as the interpreter's float conversion gives
// it (float, int, objects with __float__ or __index__). A TypeError from the
// conversion is reworded as "argument '<name>': ..."; any other exception
// passes unchanged. Infinities and NaN pass through.
std::optional<double> convert_double_argument(PyObject* object, std::string_view name);

// True when `value` is finite. Otherwise raises ValueError "argument '<name>':
// must be a finite number, got nan" (or "inf", "-inf", as Python shows them):
// a ledger line cannot carry such a number, so it is refused before anything
// happens. Returns false then.
bool check_finite_argument(double value, std::string_view name);

// Replaces the pending exception of a failed conversion by the one the caller
// raises: an exact TypeError becomes TypeError "argument '<name>': <str(e)>"
// carrying the original's __cause__; any other exception stays as it is.
void wrap_argument_error(std::string_view name);

}  // namespace pyext
