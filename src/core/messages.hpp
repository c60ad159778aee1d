// Every fixed failure text of the module, in one place, so that the whole
// error vocabulary reads at once, and the fixed pieces some value-carrying
// texts are built around. Texts composed from values (a shape, a count, an
// index, a parameter's name, an OS error) are composed where they are raised:
// the entries (python/entries/) and argument conversions (python/convert.cpp),
// the binding of arguments (python/call.cpp), the borrow registry's return
// codes, the shared word's length, the worker pool's creation and collection
// (parallel/), and the letterbox kernel's buffer bounds (preprocess/).
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
inline constexpr const char* kTooManyValues = "too many values pushed to consumer";
inline constexpr const char* kPoolNotInitialized =
    "The global thread pool has not been initialized.";

// Aborts of the worker pool (standard error).
inline constexpr const char* kQueueOutOfMemory = "out of memory while queueing a job";

// Panics of array borrows and NumPy.
inline constexpr const char* kAlreadyBorrowed =
    "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
inline constexpr const char* kNotWriteable =
    "called `Result::unwrap()` on an `Err` value: NotWriteable";
inline constexpr const char* kNotContiguous =
    "called `Result::unwrap()` on an `Err` value: NotContiguousError";
inline constexpr const char* kRegistryError = "Interal borrow checking API error: ";
inline constexpr const char* kNumpyCapsule = "Failed to access NumPy array API capsule: ";
inline constexpr const char* kRegistryVersionZero = "the registry's version is 0";

// Python errors of argument conversion.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kIntegerRange = "out of range integral type conversion attempted";
inline constexpr const char* kCannotConvert = "' object cannot be converted to '";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kNotTwoPositiveInts = "expected two positive ints";
inline constexpr const char* kNotALetterbox =
    "expected (ratio, pad_x, pad_y): a finite ratio > 0 and two ints >= 0";
inline constexpr const char* kNotAnAnchorIndex =
    ": item 6 (the anchor index) is not a whole number >= 0";
inline constexpr const char* kEmptyPrototypeGrid = "the prototype grid is empty";
inline constexpr const char* kPrototypeGridTooLarge =
    "the prototype grid has more than 16777216 (2^24) rows or columns";
inline constexpr const char* kNotASequence = "expected a sequence";
inline constexpr const char* kPersonBox = "(x1, y1, x2, y2, ...) with x1 <= x2, y1 <= y2";
inline constexpr const char* kCropRegion = "(cx, cy, sw, sh) with sw, sh > 0";

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
inline constexpr const char* kNameNotStr = "function __name__ must be a str";
inline constexpr const char* kAllNotList = "`__all__` must be a list";
inline constexpr const char* kNoPanicType = "Failed to initialize new exception type.\n";

}  // namespace corvane::messages
