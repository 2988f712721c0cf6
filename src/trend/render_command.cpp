#include "trend/render_command.h"

#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>
#include <filesystem>
#include <set>

#include "device/protocol.h"
#include "history/log_loader.h"
#include "trend/trend_chart.h"

namespace kvx::trend {

namespace {

// The strips whose CSV logs are in `directory`.
std::set<std::uint32_t> StripsWithLogs(const std::string& directory) {
  std::set<std::uint32_t> serials;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
    if (const auto log = history::ParseLogFileName(it->path().filename().string())) serials.insert(log->serial);
  return serials;
}

bool Draw(TrendChart& chart, const RenderOptions& options, bool svg) {
  const QString file = QString::fromStdString(options.file);
  const QRect area(0, 0, options.width, options.height);
  if (svg) {
    QSvgGenerator generator;
    generator.setFileName(file);
    generator.setSize(area.size());
    generator.setViewBox(area);
    chart.Layout(area);  // the description needs the figures of the range
    generator.setTitle(chart.Title());
    generator.setDescription(chart.Describe());
    QPainter painter;
    if (!painter.begin(&generator)) return false;
    chart.Paint(painter, area);
    return painter.end() && QFileInfo(file).size() > 0;
  }
  QImage image(area.size(), QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  chart.Paint(painter, area);
  painter.end();
  return image.save(file, "PNG");
}

}  // namespace

int RenderHistory(const RenderOptions& options, std::ostream& err, bool progress) {
  const bool svg = options.file.ends_with(".svg") || options.file.ends_with(".SVG");
  if (!svg && !options.file.ends_with(".png") && !options.file.ends_with(".PNG")) {
    err << "kvxclient: --render writes a .png or a .svg file, not " << options.file << "\n";
    return 2;
  }
  std::uint32_t serial = options.serial.value_or(0);
  if (!options.serial) {
    const std::set<std::uint32_t> strips = StripsWithLogs(options.directory);
    if (strips.empty()) {
      err << "kvxclient: nothing to draw: no CSV logs in " << options.directory << "\n";
      return 1;
    }
    if (strips.size() > 1) {
      err << "kvxclient: " << options.directory << " holds the logs of several strips; choose one with --serial:";
      for (const std::uint32_t s : strips) err << " " << protocol::FormatSerialName(s);
      err << "\n";
      return 2;
    }
    serial = *strips.begin();
  }
  history::HistoryStore store;
  const history::LoadResult loaded =
      history::LoadLogDirectory(store, options.directory, serial, [&](std::size_t done, std::size_t total) {
        if (progress)
          err << "\rloading " << done << " of " << total << " files" << (done == total ? "\n" : "") << std::flush;
      });
  if (!loaded.error.empty()) {
    err << "kvxclient: " << loaded.error << "\n";
    return 1;
  }
  if (loaded.skippedLines != 0) err << "kvxclient: " << loaded.skippedLines << " torn or malformed lines skipped\n";
  TrendChart chart(store, serial);
  chart.SetOutletNames(options.outletNames != OutletNames{} ? options.outletNames : loaded.outletNames);
  const auto [first, end] = chart.Extent();
  const std::int64_t from = options.fromMs.value_or(first), to = options.toMs.value_or(end);
  if (loaded.records == 0 || end == 0 || to <= from || to <= first || from >= end) {
    err << "kvxclient: nothing to draw: no records of " << protocol::FormatSerialName(serial) << " in "
        << options.directory << (options.fromMs || options.toMs ? " in that range" : "") << "\n";
    return 1;
  }
  chart.SetRange(from, to);
  if (!Draw(chart, options, svg)) {
    err << "kvxclient: cannot write " << options.file << "\n";
    return 1;
  }
  return 0;
}

}  // namespace kvx::trend
