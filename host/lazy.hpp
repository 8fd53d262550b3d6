// Lazy collaborators seen through: a module binds its collaborators as
// `korvane.core.lazy` handles, and a handle whose target has been imported
// stands for that target. A hot path calls the target, or reads its
// attribute, directly instead of going through the handle's Python methods,
// which would only forward to it.
#pragma once

#include "ref.hpp"

namespace kv {

class LazyHandles {
  public:
    LazyHandles();  // imports korvane.core.lazy: at module exec

    // The target of `obj` when it is a resolved handle, else `obj` itself.
    Ref target(Ref obj) const;

  private:
    Ref type_;        // LazyImport
    Ref unresolved_;  // the value of a handle's target before its import
    Ref target_name_;
};

}  // namespace kv
