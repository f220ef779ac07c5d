// Random named points in a few clusters (one across the antimeridian, one near the highest
// latitude Redis stores) and random circles among them: the shared data of the Redis
// cross-checks. Deterministic for a seed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/location.h"

namespace dz::testing {

class RedisClient;

class RandomPoints {
 public:
  RandomPoints(size_t count, uint64_t seed);

  size_t size() const { return points_.size(); }
  const platform::Coordinate2D& at(size_t i) const { return points_[i]; }
  static std::string name(size_t i) { return "k" + std::to_string(i); }
  // Moves point i to a new random place in a cluster.
  void move(size_t i) { points_[i] = randomPoint(); }

  // A center within a cluster and a radius from 1 to 60 km.
  std::pair<platform::Coordinate2D, double> randomCircle();
  // A coordinate as Redis reads it, to the last bit.
  static std::string text(double degrees);
  // GEOADDs every point to `key`.
  void addTo(RedisClient& redis, const std::string& key) const;

  // The point `distance` metres from `from` at `bearing` radians on the distance test's sphere.
  static platform::Coordinate2D destination(platform::Coordinate2D from, double bearing,
                                            double distance);

 private:
  platform::Coordinate2D randomPoint();
  double uniform(double low, double high);

  std::mt19937_64 random_;
  std::vector<platform::Coordinate2D> points_;
};

}  // namespace dz::testing
