// The fixed texts of every failure the module reports, in one place, so that
// the whole error vocabulary reads at once. Texts that carry values are built
// around the pieces named here by the code that raises them.
#pragma once

namespace corvane::messages {

// Panics of the computation (PanicException).
inline constexpr const char* kCapacityOverflow = "capacity overflow";
inline constexpr const char* kMultiplyOverflow = "attempt to multiply with overflow";
inline constexpr const char* kIndexOutOfBounds = "index out of bounds: the len is ";
inline constexpr const char* kButTheIndexIs = " but the index is ";
inline constexpr const char* kRangeEndIndex = "range end index ";
inline constexpr const char* kOutOfRangeForSlice = " out of range for slice of length ";
inline constexpr const char* kLetterboxDoesNotFit =
    "letterbox does not fit its source and destination";
inline constexpr const char* kNoMessage = "native code failed without a message";

// Panics of array borrows and NumPy.
inline constexpr const char* kAlreadyBorrowed =
    "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
inline constexpr const char* kNotWriteable =
    "called `Result::unwrap()` on an `Err` value: NotWriteable";
inline constexpr const char* kNotContiguous =
    "called `Result::unwrap()` on an `Err` value: NotContiguousError";
inline constexpr const char* kRegistryError = "Interal borrow checking API error: ";
inline constexpr const char* kNumpyCapsule = "Failed to access NumPy array API capsule: ";

// Python errors of argument conversion.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kIntegerRange = "out of range integral type conversion attempted";
inline constexpr const char* kCannotConvert = "' object cannot be converted to '";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kNotTwoPositiveInts = "expected two positive ints";
inline constexpr const char* kNotALetterbox =
    "expected (ratio, pad_x, pad_y): a finite ratio > 0 and two ints >= 0";
inline constexpr const char* kNotAnAnchorIndex = ": item 6 (the anchor index) is not a whole number >= 0";
inline constexpr const char* kEmptyPrototypeGrid = "the prototype grid is empty";
inline constexpr const char* kPrototypeGridTooLarge =
    "the prototype grid has more than 16777216 (2^24) rows or columns";

// Python errors of the shared word.
inline constexpr const char* kShapeIsNull = "shape is null";
inline constexpr const char* kStridesIsNull = "strides is null";
inline constexpr const char* kNotU8 = "buffer contents are not compatible with u8";
inline constexpr const char* kNotWritable = "buffer must be writable";
inline constexpr const char* kNotContiguousBuffer = "buffer must be contiguous";
inline constexpr const char* kNotAligned = "buffer start must be 4-byte aligned";

// Import.
inline constexpr const char* kSubInterpreters =
    "corvane does not support sub-interpreters: it can only be imported in the main interpreter";

}  // namespace corvane::messages
