// Silences std::cout for a scope, where the library writes its progress and indexer lines, and
// optionally keeps what was written.
//
// The silencer swaps std::cout's buffer for one of its own and puts the old buffer and the
// stream's state back when the scope ends. Discarding allocates nothing, so a silencer may
// surround code run out of memory on purpose. Capturing stores the text as it arrives (which
// allocates) under a lock, so that solves on several threads may print at once. GoogleTest
// itself writes through C stdio, so its messages still reach the log.
#pragma once

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <utility>

namespace Ondrel::Testing {

class StdoutSilencer {
 public:
  enum Mode { kDiscard, kCapture };

  explicit StdoutSilencer(Mode mode = kDiscard)
      : sink(mode == kCapture), state(std::cout.rdstate()), previous(std::cout.rdbuf(&sink)) {}
  ~StdoutSilencer() {
    std::cout.rdbuf(previous);
    std::cout.clear(state);
  }
  StdoutSilencer(const StdoutSilencer&) = delete;
  StdoutSilencer& operator=(const StdoutSilencer&) = delete;

  // The text written since construction or the last take(), which it then forgets; always empty
  // when discarding.
  std::string take() { return sink.take(); }

 private:
  class Sink : public std::streambuf {
   public:
    explicit Sink(bool keep) : keeping(keep) {}

    std::string take() {
      const std::lock_guard<std::mutex> lock(mutex);
      return std::exchange(text, std::string());
    }

   protected:
    // No put area: every character comes through here or xsputn, so the lock covers all writes.
    int_type overflow(int_type c) override {
      if (keeping && !traits_type::eq_int_type(c, traits_type::eof())) {
        const std::lock_guard<std::mutex> lock(mutex);
        text.push_back(traits_type::to_char_type(c));
      }
      return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize count) override {
      if (keeping) {
        const std::lock_guard<std::mutex> lock(mutex);
        text.append(s, static_cast<std::size_t>(count));
      }
      return count;
    }

   private:
    const bool keeping;
    std::mutex mutex;
    std::string text;
  };

  Sink sink;
  std::ios::iostate state;
  std::streambuf* previous;
};

}  // namespace Ondrel::Testing
