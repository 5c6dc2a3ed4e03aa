#include "table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmora::bench {

namespace {

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string figure(double value) {
  if (std::isnan(value)) return "-";
  char text[32];
  if (std::fabs(value) >= 100 || value == 0) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.3g", value);
  }
  return text;
}

std::string ratio(double numerator, double denominator) {
  if (std::isnan(numerator) || std::isnan(denominator) || denominator == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", numerator / denominator);
  return text;
}

// The median, and for more than one sample their range: the spread a comparison must beat.
std::string with_spread(const std::vector<double>& samples) {
  std::string text = figure(median(samples));
  if (samples.size() < 2) return text;
  auto [low, high] = std::minmax_element(samples.begin(), samples.end());
  return text + " [" + figure(*low) + "-" + figure(*high) + "]";
}

}  // namespace

void Table::add(const std::string& row, std::size_t path, double value) {
  auto found =
      std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.name == row; });
  if (found == rows_.end()) found = rows_.insert(rows_.end(), Row{row, {}});
  found->samples[path].push_back(value);
}

void Table::print(int repetitions) const {
  std::printf("medians of %d repetitions; [lowest-highest] for the two hosts\n", repetitions);
  std::printf("%-48s %22s %22s %10s %10s %10s %11s %13s\n", "figure", "host", "baseline", "socat",
              "direct", "host/socat", "host/direct", "host/baseline");
  for (const auto& row : rows_) {
    std::array<double, kPaths> m{};
    for (std::size_t p = 0; p < kPaths; ++p) m[p] = median(row.samples[p]);
    std::printf("%-48s %22s %22s %10s %10s %10s %11s %13s\n", row.name.c_str(),
                with_spread(row.samples[0]).c_str(), with_spread(row.samples[1]).c_str(),
                figure(m[2]).c_str(), figure(m[3]).c_str(), ratio(m[0], m[2]).c_str(),
                ratio(m[0], m[3]).c_str(), ratio(m[0], m[1]).c_str());
  }
}

}  // namespace velmora::bench
