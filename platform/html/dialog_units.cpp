#include "platform/html/html_dialog.h"

namespace platform::html {

namespace {
// a * b / c rounded half away from zero, as dialog-unit conversions round.
int MulDiv(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  return static_cast<int>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}
}  // namespace

PixelSize DialogUnitsToPixels(int widthDlu, int heightDlu, int scale) {
  // An 8 pt dialog font at 96 DPI: 4 horizontal units are 6 px, 8 vertical 13 px.
  return {MulDiv(widthDlu, 6, 4) * scale, MulDiv(heightDlu, 13, 8) * scale};
}

}  // namespace platform::html
