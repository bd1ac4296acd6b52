// The dialog's pictures, painted in code: the title banner, the button glyphs
// and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vix {

constexpr int kBannerWidth = 500;
constexpr int kBannerHeight = 90;
constexpr int kGlyphSize = 16;
constexpr int kGlyphCount = 3;

// 500 x 90.
QPixmap PaintBanner();
// 16 x 16 with alpha: 0 confirm (a tick), 1 cancel (a cross), 2 a key.
QPixmap PaintGlyph(int index);
// 16 x 16.
QIcon PaintWindowIcon();

}  // namespace vix
