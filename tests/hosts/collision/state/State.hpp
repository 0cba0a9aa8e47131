// The host's own state/State.hpp, found before the library's headers on the include path. The
// library's headers must never pick it up in place of their own.
#pragma once

namespace host {
struct State {
  int generation = 0;
};
}  // namespace host
