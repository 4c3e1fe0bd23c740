#pragma once

#include <optional>
#include <string>

#include "OrvexServer/AttachFrame.hpp"
#include "OrvexServer/ScreenModel.hpp"
#include "orvex/AttachKeys.hpp"
#include "orvex/RawTerminal.hpp"

namespace Orvex {

/// The user's terminal attached to a grid in the server, over a connection already switched
/// to attach frames: the keys go to the server as frames (AttachKeys says which are the
/// client's own), the terminal on screen is drawn as the server sends it, and the bottom row
/// of the window shows the grid's status row.
///
/// The program's bytes go straight through to the user's terminal. The client also keeps a
/// screen model of what it drew, read only when it paints the status row, so that it can put
/// the cursor, its modes and pen back where the program left them; the model holds output
/// until then and draws only what is still on screen, so a flood of text costs it little.
/// Runs on the calling thread until the attachment ends.
class AttachClient {
public:
    /// How the attachment ended.
    struct Ending {
        /// The server's reason, when it sent one.
        std::optional<OrvexServer::AttachFrame::Detached::Reason> reason;
        /// The server's sentence for the user (may be empty).
        std::string message;
        /// Every terminal of the grid has ended.
        bool allExited = false;
        /// A hang-up, termination or interrupt signal ended it.
        bool interrupted = false;
    };

    /// Takes `socket` (and frame bytes already read from it, `pending`); draws on `output`,
    /// reads keys from `input`.
    AttachClient(int socket, std::string pending, int input, int output);
    ~AttachClient();
    AttachClient(const AttachClient&) = delete;
    AttachClient& operator=(const AttachClient&) = delete;

    /// Serves until the user detaches, the server ends the attachment, the connection breaks
    /// or SIGHUP, SIGTERM or SIGINT arrives (the programs keep running in every case). The
    /// window's size changes are noticed through SIGWINCH.
    Ending run();

    /// The screen drawn so far (what the user sees above the status row).
    const OrvexServer::ScreenModel& screen() const { return *screen_; }

private:
    void handleFrames(std::string_view bytes);
    void handle(const OrvexServer::AttachFrame::ServerMessage& message);
    void handleKeys(std::string_view bytes);
    void showHelp();
    void sendFrame(const std::string& frame);
    void sendSize();
    void paintStatus();
    /// Adds to what goes to the user's terminal at the end of the frames at hand (one write
    /// for all of them).
    void draw(std::string_view bytes);
    void flushDrawn();

    int socket_;
    int input_;
    int output_;
    std::string pending_;
    std::string drawn_;
    WindowSize window_;
    AttachKeys keys_;
    OrvexServer::AttachFrame::Decoder decoder_{OrvexServer::AttachFrame::Direction::fromServer};
    std::unique_ptr<OrvexServer::ScreenModel> screen_;
    std::optional<OrvexServer::AttachFrame::Status> status_;
    bool statusDirty_ = false;
    bool helpShown_ = false;
    std::optional<Ending> ending_;
    bool detachSent_ = false;
};

} // namespace Orvex
