// Stream control of the boards with stream FIFOs: the four FIFO-clear requests (0x34, 0x35, 0x36,
// 0x38, no data stage), which drop the data waiting in the bulk IN FIFOs, and the 32-bit stream status
// word (request 0xB4, 4 bytes little-endian), which a program sets with KorvalSim_SetStreamStatus.
#include "host/sim/board.h"
#include "host/sim/bulk_pipes.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

class StreamControl final : public Feature {
public:
    explicit StreamControl(Board& board)
    {
        for (const uint8_t request : {kReqClearFifo34, kReqClearFifo35, kReqClearFifo36, kReqClearFifo38}) {
            board.on_control(Direction::out, request, [&board](const ControlRequest&, std::span<uint8_t>) {
                if (BulkPipes* pipes = board.feature<BulkPipes>()) pipes->clear_in();
                return ControlReply::ok(0);
            });
        }
        board.on_control(Direction::in, kReqStreamStatus, [this](const ControlRequest&, std::span<uint8_t> data) {
            const uint8_t bytes[4] = {static_cast<uint8_t>(status_), static_cast<uint8_t>(status_ >> 8),
                                      static_cast<uint8_t>(status_ >> 16), static_cast<uint8_t>(status_ >> 24)};
            return ControlReply::ok(answer(data, bytes, sizeof bytes));
        });
    }

    void set_status(uint32_t status) { status_ = status; }

private:
    uint32_t status_ = 0;
};

const RegisterFeature kStreamControl{
    "stream-control", [](const Product& p) { return p.fifo_control; },
    [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<StreamControl>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_SetStreamStatus(KorvalSim* sim, uint32_t board, uint32_t status)
{
    using namespace korval::sim;
    return with_board(sim, board, [&](Board& b) -> uint32_t {
        StreamControl* control = b.feature<StreamControl>();
        if (control == nullptr) return ERROR_INVALID_PARAMETER;
        control->set_status(status);
        return ERROR_SUCCESS;
    });
}
