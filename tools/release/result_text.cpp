#include "tools/release/result_text.h"

#include "tools/release/file_access.h"

std::string ResultText(uint32_t code) {
  static const struct {
    uint32_t code;
    const char* name;
  } names[] = {
      {2, "ERROR_FILE_NOT_FOUND"},     {3, "ERROR_PATH_NOT_FOUND"},     {5, "ERROR_ACCESS_DENIED"},
      {8, "ERROR_NOT_ENOUGH_MEMORY"},  {13, "ERROR_INVALID_DATA"},      {23, "ERROR_CRC"},
      {30, "ERROR_READ_FAULT"},        {32, "ERROR_SHARING_VIOLATION"}, {38, "ERROR_HANDLE_EOF"},
      {39, "ERROR_HANDLE_DISK_FULL"},  {80, "ERROR_FILE_EXISTS"},       {87, "ERROR_INVALID_PARAMETER"},
      {112, "ERROR_DISK_FULL"},        {123, "ERROR_INVALID_NAME"},     {131, "ERROR_NEGATIVE_SEEK"},
      {183, "ERROR_ALREADY_EXISTS"},   {193, "ERROR_BAD_EXE_FORMAT"},   {206, "ERROR_FILENAME_EXCED_RANGE"},
      {223, "ERROR_FILE_TOO_LARGE"},   {1114, "ERROR_DLL_INIT_FAILED"}, {1117, "ERROR_IO_DEVICE"},
      {6001, "ERROR_DECRYPTION_FAILED"},
  };
  for (const auto& entry : names) {
    if (entry.code == code) return std::string(entry.name) + " " + std::to_string(code);
  }
  return "error " + std::to_string(code);
}

std::string FileFaultText(uint32_t code) {
  std::string words = FileErrorWords(code);
  return !words.empty() ? words : ResultText(code);
}
