// Data buffers kept from one transfer to the next. A page the process has
// never touched costs a fault on first use, and on some hosts that fault is
// dear (tens of microseconds a page): a buffer allocated afresh for each
// transfer then costs a transfer several milliseconds before its first
// byte. Buffers given back are kept, up to a bound, for the next taker.
//
// gw_Buffer        holds one buffer of kGwBufferSize bytes taken from the
//                  pool (allocated when none is free) and gives it back when
//                  it goes. data() is null when memory ran out.
#ifndef GWSIM_BUFFERS_H
#define GWSIM_BUFFERS_H

#include <stddef.h>

constexpr size_t kGwBufferSize = 1 << 20;

struct gw_Buffer {
  gw_Buffer();
  ~gw_Buffer();
  gw_Buffer(const gw_Buffer&) = delete;
  gw_Buffer& operator=(const gw_Buffer&) = delete;
  char* data() const { return p; }
  static constexpr size_t size() { return kGwBufferSize; }

 private:
  char* p;
};

#endif
