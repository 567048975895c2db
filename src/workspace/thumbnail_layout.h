#pragma once
// Where an image lands in a thumbnail square or the preview window: each side is the
// smaller of the image's and the box's, centred, so a large image is squeezed per axis
// (not scaled in proportion) and a small one keeps its own size.

namespace velk {

inline constexpr int kThumbnailSize = 90;

struct PlacedRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PlacedRect&) const = default;
};

inline PlacedRect placeImage(int imageWidth, int imageHeight, int boxWidth, int boxHeight) {
  PlacedRect r;
  r.width = imageWidth < boxWidth ? imageWidth : boxWidth;
  r.height = imageHeight < boxHeight ? imageHeight : boxHeight;
  if (r.width < 0) r.width = 0;
  if (r.height < 0) r.height = 0;
  r.x = (boxWidth - r.width) / 2;
  r.y = (boxHeight - r.height) / 2;
  return r;
}

}  // namespace velk
