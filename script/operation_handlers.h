// The operations as the line parsers see them: one handler per operation and line kind.
#ifndef DORVALEX_SCRIPT_OPERATION_HANDLERS_H_
#define DORVALEX_SCRIPT_OPERATION_HANDLERS_H_

#include <string_view>

// Each handler gets the text after the operation word's ":" (for REGEDIT4 lines the whole
// line): a key line as read, starting with "[", a value line unescaped; both still end with
// "\n". True: the script goes on. False: the run stops; the handler has reported why.
class OperationHandlers {
 public:
  virtual ~OperationHandlers() = default;
  virtual bool UpdateKey(std::string_view text) = 0;
  virtual bool UpdateValue(std::string_view text) = 0;
  virtual bool DeleteKey(std::string_view text) = 0;
  virtual bool DeleteValue(std::string_view text) = 0;
  virtual bool AppendString(std::string_view text) = 0;
  virtual bool PrependString(std::string_view text) = 0;
  virtual bool RemoveString(std::string_view text) = 0;
  virtual bool ReplaceString(std::string_view text) = 0;
  // Called after every line whose handler returned true, at the boundary between two lines.
  // False stops the run; the reason has been reported.
  virtual bool LineDone() { return true; }
};

#endif  // DORVALEX_SCRIPT_OPERATION_HANDLERS_H_
