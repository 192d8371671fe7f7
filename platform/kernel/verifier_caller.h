// Where a verifier stop names the driver image code that made the call it
// stops in: the loader installs the describer once, before it maps an image;
// the verifier calls it while composing a message.
#pragma once

#include <string>

namespace kernel {

// Returns " (called from m4350av.sys+0x1a2b (Symbol+0x3f))" inside a call
// from an image, else "". Null until an image loader installs it.
using ForeignCallerDescriber = std::string (*)();
void SetForeignCallerDescriber(ForeignCallerDescriber describer);

} // namespace kernel
