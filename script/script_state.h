// The script reader's run-wide state, shared by the reader, the parsers and the operations.
#ifndef DORVALEX_SCRIPT_SCRIPT_STATE_H_
#define DORVALEX_SCRIPT_SCRIPT_STATE_H_

#include <cstdint>
#include <string>

// What the backout journal knows of the current key.
enum KeyBackoutState : int { keyCreated = 0, keyExisted = 1, keyMissing = 2 };

// The logical-line buffer grows in steps of this many bytes.
inline constexpr uint32_t kLineGrowth = 255;

struct ScriptState {
  int32_t lineNumber = 0;       // physical line on which the current logical line starts
  std::string currentKey;       // key path of the last key line, as written
  bool isRegedit4 = false;      // the script's dialect: an export (REGEDIT4 or version 5)
  bool isVersion5 = false;      // a version 5 export: hex(N) numbers hexadecimal, the hex data
                                // of string types UTF-16LE text
  bool keyDeleted = false;      // exports: the last key line deleted its key ("[-KEY]")
  uint32_t lineCapacity = kLineGrowth;  // size of the current line buffer; first query size
  bool escapeError = false;     // an orphaned backslash was found somewhere
  KeyBackoutState keyBackoutState = keyCreated;
  bool blockHeaderWritten = false;
};

#endif  // DORVALEX_SCRIPT_SCRIPT_STATE_H_
