// Writes the application icon (resource 128, 32 x 32) as PNG files in the
// hicolor sizes. The icon is pixel art, so it is scaled by whole pixels
// (nearest neighbour) to stay crisp: kvx_icon_export DIR SIZE...
#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "resources/dialog_templates.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR SIZE...\n", argv[0]);
    return 2;
  }
  const auto& pixels = kvx::resources::ApplicationIcon();
  QImage icon(32, 32, QImage::Format_ARGB32);
  for (int y = 0; y < 32; ++y) {
    auto* line = reinterpret_cast<QRgb*>(icon.scanLine(y));
    for (int x = 0; x < 32; ++x) line[x] = pixels[static_cast<std::size_t>(y * 32 + x)];
  }
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    if (size < 16 || size > 1024) {
      std::fprintf(stderr, "%s: bad size %s\n", argv[0], argv[i]);
      return 2;
    }
    const QImage scaled = icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const std::string path = std::string(argv[1]) + "/" + std::to_string(size) + ".png";
    if (!scaled.save(QString::fromStdString(path), "PNG")) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
      return 1;
    }
  }
  return 0;
}
