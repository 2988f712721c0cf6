// The trend chart: a repaint of a 1000 x 400 chart at zooms from 10 minutes to
// the whole of 7 days held (4 readings a second of 4 outlets), against the
// floor of drawing as many precomputed bands and line points with the same
// pens; and --render of 7 days of 1 s records from CSV files (load and draw)
// against 3 s, with reading the files' bytes as its floor.
//   kvx_trend_bench [--day-picture=FILE]   also draws the simulated day of
//   the README (records every 10 s, four gaps with their journal lines)
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "support/temp_dir.h"
#include "trend/render_command.h"
#include "trend/trend_chart.h"
#include "verdict.h"
#include "week_of_logs.h"

namespace {

using namespace kvx;
using SteadyClock = std::chrono::steady_clock;
constexpr std::int64_t T0 = 1796112000000;  // 2026-12-01T08:00:00Z

double Ms(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The least a repaint could cost: as many bands and mean-line points as the
// chart draws at 1000 columns, precomputed, with the same pens and brushes.
double FloorMs(QImage& image) {
  std::vector<QRectF> bands;
  std::vector<QPolygonF> lines(4);
  for (int k = 0; k < 4; ++k)
    for (int x = 0; x < 1000; ++x) {
      bands.emplace_back(x, 100 + k * 50 + (x % 7), 1, 6);
      lines[static_cast<std::size_t>(k)] << QPointF(x + 0.5, 103 + k * 50 + (x % 7));
    }
  std::vector<double> times;
  for (int round = 0; round < 15; ++round) {
    const auto a = SteadyClock::now();
    QPainter painter(&image);
    painter.fillRect(image.rect(), Qt::white);
    for (int k = 0; k < 4; ++k) {
      QColor band = trend::OutletColour(k + 1);
      band.setAlpha(70);
      for (int x = 0; x < 1000; ++x) painter.fillRect(bands[static_cast<std::size_t>(k * 1000 + x)], band);
      painter.setPen(QPen(trend::OutletColour(k + 1), 1.5));
      painter.drawPolyline(lines[static_cast<std::size_t>(k)]);
    }
    painter.end();
    times.push_back(Ms(a, SteadyClock::now()));
  }
  return Median(times);
}

// A simulated day of power records every 10 s, in the recorder's format, with
// an unplug, a stall, logging switched off and the client stopped, each told
// by the journal as the client tells it; drawn into `file`.
int DrawDay(const std::string& file) {
  const test::TempDir logs{"kvx-trend-day"};
  std::ofstream csv(logs.Path("1A2B3_ALL_W_20261208_000000_000.csv"), std::ios::binary);
  csv << "hostname,LM-3827QD,,,,,\r\nMAC Address,00:00:00:00:00:00,,,,,\r\nIP Address,000.000.000.000,,,,,\r\n"
         "unit,electric power[W],,,,,\r\n,01A2B3,V2.1L10,,,,\r\ndate,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n";
  const auto inGap = [](int s) {
    return (s >= 3 * 3600 && s < 4 * 3600) || (s >= 9 * 3600 && s < 9 * 3600 + 900) ||
           (s >= 12 * 3600 && s < 14 * 3600) || (s >= 18 * 3600 && s < 19 * 3600 + 1200);
  };
  for (int s = 0; s < 86400; s += 10) {
    if (inGap(s)) continue;
    const double hour = s / 3600.0;
    const int heater = std::fmod(hour, 1.5) < 0.5 && (hour < 8 || hour > 17) ? 1200 : 0;
    const int office = hour > 8 && hour < 18 ? 150 + static_cast<int>(40 * std::sin(s / 700.0)) : 12;
    const int compressor = (s / 600) % 3 == 0 ? 700 : 0;
    const int spike = s == 15 * 3600 + 1230 ? 1850 : 0;  // one record's inrush
    char line[96];
    const int n =
        std::snprintf(line, sizeof line, "2026/12/08 %02d:%02d:%02d,on,%04d,%04d,%04d,%04d,100,50.00,25.34\r\n",
                      s / 3600, s / 60 % 60, s % 60, heater, office, compressor + spike, 0);
    csv.write(line, n);
  }
  csv.close();
  std::ofstream journal(logs.Path("kvx-events.jsonl"));
  const auto event = [&](int s, const std::string& rest) {
    char time[48];
    std::snprintf(time, sizeof time, "2026-12-08T%02d:%02d:%02d.100+00:00", s / 3600, s / 60 % 60, s % 60);
    journal << R"({"time":")" << time << R"(","ms":)" << s * 1000 << R"(,"serial":"1A2B3",)" << rest << "}\n";
  };
  event(3 * 3600, R"("event":"connection_ended","reason":"unplugged")");
  event(9 * 3600 + 899, R"("event":"read_timeouts","count":1800,"first_ms":32400000,"last_ms":33299000)");
  event(12 * 3600, R"("event":"file_closed","file":"x.csv","records":1,"reason":"log_switched_off")");
  event(18 * 3600, R"("event":"shutdown")");
  journal.close();
  trend::RenderOptions options;
  options.file = file;
  options.directory = logs.path();
  options.width = 1200;
  options.height = 500;
  ::setenv("TZ", "UTC", 1);
  return trend::RenderHistory(options, std::cerr, false);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  trend::UseChartFont();
  if (argc > 1 && std::string(argv[1]).rfind("--day-picture=", 0) == 0) return DrawDay(std::string(argv[1]).substr(14));

  history::HistoryStore store;
  constexpr std::int64_t READINGS = 7LL * 86400 * 4;
  for (std::int64_t i = 0; i < READINGS; ++i)
    store.Add(
        0x1A2B3, true, T0 + i * 250,
        {1200.0 + static_cast<double>(i % 13), 150.0, (i / 3600) % 2 ? 700.0 : 0.0, i == READINGS / 3 ? 2500.0 : 0.0});
  const std::int64_t end = T0 + READINGS * 250;
  trend::TrendChart chart(store, 0x1A2B3);
  QImage image(1000, 400, QImage::Format_RGB32);
  std::vector<double> repaints;
  for (const std::int64_t span : {std::int64_t{600000}, std::int64_t{3600000}, std::int64_t{86400000}, end - T0}) {
    std::vector<double> times;
    for (int round = 0; round < 15; ++round) {
      chart.SetRange(end - span - round * 1000, end - round * 1000);
      const auto a = SteadyClock::now();
      QPainter painter(&image);
      chart.Paint(painter, image.rect());
      painter.end();
      times.push_back(Ms(a, SteadyClock::now()));
    }
    std::printf("repaint 1000x400 over %lld s: median %.2f ms\n", static_cast<long long>(span / 1000), Median(times));
    repaints.push_back(Median(times));
  }
  const double floor = FloorMs(image);
  std::printf("floor (4000 precomputed bands and 4000 line points): median %.2f ms\n", floor);

  const test::TempDir logs{"kvx-trend-bench"};
  bench::WriteDaysOfPowerLogs(logs.path(), 7);
  const auto r0 = SteadyClock::now();
  for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  const double readS = Ms(r0, SteadyClock::now()) / 1000.0;
  trend::RenderOptions options;
  options.file = logs.Path("week.png");
  options.directory = logs.path();
  const auto d0 = SteadyClock::now();
  const int status = trend::RenderHistory(options, std::cerr, false);
  const double renderS = Ms(d0, SteadyClock::now()) / 1000.0;
  std::printf("--render of 7 days of 1 s records (7 files): %.2f s (status %d); reading the bytes %.3f s\n", renderS,
              status, readS);

  // The slowest zoom's median is the figure.
  const double slowest = *std::max_element(repaints.begin(), repaints.end());
  const bool repaint = bench::VerdictWithin("trend_repaint_1000x400_any_zoom", slowest, floor, "ms", 16.0);
  const bool render = bench::VerdictWithin("trend_render_week_of_records", renderS, readS, "s", 3.0);
  return repaint && render && status == 0 ? 0 : 1;
}
