// SPDX-License-Identifier: GPL-3.0-or-later
// Reads arbitrary bytes as a stored picture: the marks trailer and the PNG
// stream. A picture that loads is the canvas it claims to be; a failure
// leaves nothing behind; marks are never written over foreign data.
#include "core/Store.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace kvo;
  int mem = MemCount(), files = FCount();
  std::string path = fuzz::InputPath(".kvo");
  fuzz::Check(fuzz::WriteInput(path, Data, Size), "the input file is written whole");
  TLogoMarks marks;
  bool hasMarks = ReadMarks(path, marks);
  fuzz::Check(!hasMarks || marks.TrailerSize == MARKS_SIZE, "a believed trailer says 12");
  TImg img;
  if (LoadStoredPicture(path, img)) {
    fuzz::Check(img.Width > 0 && img.Height > 0 && ImgIsValid(img), "a loaded picture has pixels");
    ImgFree(img);
  }
  fuzz::CheckTables(mem, files);
  if (WriteMarks(path, {7u, 0, MARKS_SIZE})) {
    TLogoMarks back;
    fuzz::Check(ReadMarks(path, back) && back.Positions == 7u, "written marks read back");
  }
  return 0;
}
