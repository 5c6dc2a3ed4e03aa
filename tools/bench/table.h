// The benchmark's one table: a row per figure, a column per path, medians over the
// repetitions (with the spread of the two hosts' samples), and the host's ratios to socat, to
// the direct connection and to the baseline host.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace velmora::bench {

inline constexpr std::size_t kPaths = 4;  // host, baseline, socat, direct, in that order

class Table {
 public:
  // Adds one repetition's value of a figure for one path; rows keep their first-seen order.
  void add(const std::string& row, std::size_t path, double value);
  void print(int repetitions) const;

 private:
  struct Row {
    std::string name;
    std::array<std::vector<double>, kPaths> samples;
  };
  std::vector<Row> rows_;
};

}  // namespace velmora::bench
