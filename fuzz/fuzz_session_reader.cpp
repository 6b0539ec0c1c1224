// Everything the engine reads from its peer, from the handshake on: lines,
// numbers, offers, answers, acknowledges and data packets of all three kinds.
// A real engine waits on a loopback port; the fuzzer connects as the peer and
// sends the input, as session_peer.h describes.
//
// The first byte of the input sets this side up:
//   bits 0-1  the packet type it sends with (3 counts as 0)
//   bit 2     it offers a file of its own, task id 7, 3000 bytes
//   bit 3     it denies the peer's offers instead of taking them
//   bit 4     a taken offer resumes after 5 bytes already received
// The rest is what the peer sends. Enciphered packets are keyed by the
// digest of this machine's own address, as the engine reads them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "common/stream.h"
#include "engine/transer.h"
#include "fuzz/session_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static fwp::fuzz::TFastLoop loop;
    const std::uint8_t flags = data[0];

    fwp::TTranser engine(loop);
    engine.Timeouts.Handshake = 2000;
    engine.Timeouts.NoResponse = 500;
    engine.Timeouts.CloseStep = 0;
    engine.Timeouts.IdleInterval = 60000;
    engine.PacketType = static_cast<fwp::TFileTransPacketType>((flags & 3) == 3 ? 0 : flags & 3);
    engine.OnReceiveData = [&engine, flags](fwp::TTranserTask& task) {
        if (flags & 8) {
            engine.DenyTask(task);
            return;
        }
        auto stream =
            std::make_unique<fwp::TMemoryStream>((flags & 16) ? std::string("abcde") : std::string());
        stream->Seek(stream->Size());
        engine.AcceptTask(task, std::move(stream));
    };
    engine.OnReconnect = [](bool& reconnect) { reconnect = false; };
    // A received file reported complete holds exactly the offered bytes,
    // never more and never a part.
    engine.OnTransferComplete = [](fwp::TTranserTask& task) {
        if (task.Direction == fwp::tdReceive && task.ResultCode == fwp::trComplete && task.Stream &&
            task.Stream->Size() != task.Size)
            std::abort();
    };
    if (flags & 4) {
        std::string content(3000, '\0');
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 7);
        engine.Tasks()
            .AddSendTask("FileTransfering:a.bin", std::make_unique<fwp::TMemoryStream>(content))
            .ID = 7;
    }
    fwp::fuzz::RunPeerSession(loop, engine,
                              std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
}
