// Power logs as the recorder writes them (six header lines, CR LF records),
// one file a day of 1 s records, for the benchmarks that load or draw them.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

namespace kvx::bench {

// Writes `days` daily files of strip 1A2B3 into `directory` (local dates from
// 2026-12-01); returns the bytes written.
inline std::size_t WriteDaysOfPowerLogs(const std::string& directory, int days) {
  std::size_t bytes = 0;
  for (int day = 0; day < days; ++day) {
    char name[64];
    std::snprintf(name, sizeof name, "/1A2B3_ALL_W_202612%02d_000000_000.csv", 1 + day);
    std::ofstream out(directory + name, std::ios::binary);
    out << "hostname,LM-3827QD,,,,,\r\nMAC Address,00:00:00:00:00:00,,,,,\r\nIP Address,000.000.000.000,,,,,\r\n"
           "unit,electric power[W],,,,,\r\n,01A2B3,V2.1L10,,,,\r\ndate,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n";
    for (int s = 0; s < 86400; ++s) {
      char line[96];
      const int n =
          std::snprintf(line, sizeof line, "2026/12/%02d %02d:%02d:%02d,on,%04d,0150,%04d,0000,100,50.00,25.34\r\n",
                        1 + day, s / 3600, s / 60 % 60, s % 60, 1200 + s % 13, (s / 900) % 2 ? 700 : 0);
      out.write(line, n);
      bytes += static_cast<std::size_t>(n);
    }
  }
  return bytes;
}

}  // namespace kvx::bench
