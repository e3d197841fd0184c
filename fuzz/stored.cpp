// Reads arbitrary bytes as a stored picture: the marks trailer and the PNG
// stream. A picture that loads is the canvas it claims to be; a failure
// leaves nothing behind; marks are never written over foreign data.
#include "core/Store.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace kvo;
  int mem = MemCount(), files = FCount();
  std::string path = fuzz::WriteInput("in.kvo", Data, Size);
  TLogoMarks marks;
  bool hasMarks = ReadMarks(path, marks);
  if (hasMarks && marks.TrailerSize != MARKS_SIZE) std::abort();
  TImg img;
  if (LoadStoredPicture(path, img)) {
    if (img.Width <= 0 || img.Height <= 0 || !ImgIsValid(img)) std::abort();
    ImgFree(img);
  }
  fuzz::CheckTables(mem, files);
  if (WriteMarks(path, {7u, 0, MARKS_SIZE})) {
    TLogoMarks back;
    if (!ReadMarks(path, back) || back.Positions != 7u) std::abort();
  }
  return 0;
}
