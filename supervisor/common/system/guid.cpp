// GUID text forms and random generation. One generator serves the whole process: seeded
// once from the system's random device and the clock, and drawn from under a mutex, so
// that threads never share half-advanced state.
#include "supervisor/common/system/guid.h"

#include "ivo/result.h"

#include <boost/throw_exception.hpp>

#include <time.h>

#include <mutex>
#include <random>

namespace sov::supervisor {
namespace {

constexpr std::size_t kTextSize = 36;
constexpr std::size_t kBracedTextSize = 38;

bool IsDashPosition(std::size_t position) {
  return position == 8 || position == 13 || position == 18 || position == 23;
}

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') {
    return digit - '0';
  }
  if (digit >= 'a' && digit <= 'f') {
    return digit - 'a' + 10;
  }
  if (digit >= 'A' && digit <= 'F') {
    return digit - 'A' + 10;
  }
  return -1;
}

// The current time in 100-nanosecond intervals since 1582-10-15, the epoch of GUID times.
std::uint64_t GuidEpochTime() {
  constexpr std::uint64_t kIntervalsBeforeUnixEpoch = 0x01B21DD213814000ULL;
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    BOOST_THROW_EXCEPTION(ivo::ResultError(ivo::result::kSystemError, "Cannot get system time"));
  }
  return static_cast<std::uint64_t>(now.tv_sec) * 10000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec) / 100 + kIntervalsBeforeUnixEpoch;
}

class RandomWords {
 public:
  // Built on first use; a constructor that throws leaves the next call to try again.
  static RandomWords& Instance() {
    static RandomWords instance;
    return instance;
  }

  std::array<std::uint32_t, 4> NextFour() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::array<std::uint32_t, 4> words{};
    for (auto& word : words) {
      word = distribution_(engine_);
    }
    return words;
  }

 private:
  RandomWords() {
    std::random_device device("default");
    const std::uint64_t time = GuidEpochTime();
    std::seed_seq seed{device(),
                       device(),
                       device(),
                       device(),
                       device(),
                       device(),
                       device(),
                       device(),
                       static_cast<std::uint32_t>(time),
                       static_cast<std::uint32_t>(time >> 32)};
    engine_.seed(seed);
  }

  std::mutex mutex_;
  std::mt19937 engine_;
  std::uniform_int_distribution<std::uint32_t> distribution_;
};

}  // namespace

Guid Guid::Parse(std::string_view text) {
  if (text.size() == kBracedTextSize && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, kTextSize);
  }
  if (text.size() != kTextSize) {
    BOOST_THROW_EXCEPTION(GuidSyntaxError());
  }
  Bytes bytes{};
  std::size_t byte = 0;
  for (std::size_t position = 0; position < kTextSize;) {
    if (IsDashPosition(position)) {
      if (text[position] != '-') {
        BOOST_THROW_EXCEPTION(GuidSyntaxError());
      }
      ++position;
      continue;
    }
    const int high = HexValue(text[position]);
    const int low = HexValue(text[position + 1]);
    if (high < 0 || low < 0) {
      BOOST_THROW_EXCEPTION(GuidSyntaxError());
    }
    bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    position += 2;
  }
  return Guid(bytes);
}

Guid Guid::NewRandom() {
  Bytes bytes{};
  std::size_t byte = 0;
  for (const std::uint32_t word : RandomWords::Instance().NextFour()) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes[byte++] = static_cast<std::uint8_t>(word >> shift);
    }
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x4F) | 0x40);  // version 4: random
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0xBF) | 0x80);  // variant 10xx
  return Guid(bytes);
}

std::string Guid::ToString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(kTextSize);
  for (std::size_t byte = 0; byte < bytes_.size(); ++byte) {
    if (byte == 4 || byte == 6 || byte == 8 || byte == 10) {
      text.push_back('-');
    }
    text.push_back(kDigits[bytes_[byte] >> 4]);
    text.push_back(kDigits[bytes_[byte] & 0x0F]);
  }
  return text;
}

}  // namespace sov::supervisor
