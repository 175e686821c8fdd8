// The message texts that Windows gives for the error codes this program meets, so that the
// system text line reads the same as on that platform.
#include "report/error_text.h"

#include <string_view>

namespace {

struct ErrorText {
  int32_t code;
  std::string_view text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough memory resources are available to complete this operation."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1016,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     "read in, or write out, or flush, one of the files that contain the system's image of the "
     "registry."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {1722, "The RPC server is unavailable."},
};

}  // namespace

std::string SystemErrorText(int32_t code) {
  for (const ErrorText& entry : kErrorTexts)
    if (entry.code == code) return std::string(entry.text);
  return "Unknown error.";
}
