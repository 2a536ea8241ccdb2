#pragma once

#include <cstdint>

namespace client {

// The tray icon's blink counter. Ten frames alternate between the two blink
// pictures; the eleventh tick checks the window: while it is out of sight a new
// cycle starts, otherwise the icon returns to rest and the blinking ends.
class TrayBlink
{
public:
    enum class Frame { Image1, Image2, Rest, Unchanged };

    void start()
    {
        m_counter = 1;
        m_running = true;
    }
    void stop() { m_running = false; }
    bool isRunning() const { return m_running; }
    std::int16_t counter() const { return m_counter; }

    // One tick of the 300 ms timer; answers which picture the tray shows next.
    Frame tick(bool windowOutOfSight);

private:
    std::int16_t m_counter = 0;
    bool m_running = false;
};

} // namespace client
