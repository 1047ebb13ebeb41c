// The receiver thread: owns the connection to the daemon. It resolves the
// daemon's address, connects with pauses, performs the handshake, reads the
// daemon's messages and hands them on, and reconnects after every loss, for
// as long as the library runs.
#pragma once

namespace vavevar {

// Thread entry; `startup` is the start-up record of the initialising call.
void lumo_receiver_main(void *startup) noexcept;

}  // namespace vavevar
