#pragma once

class QScrollArea;

namespace kestrelamp::toolkit {

// The height the scroll area's content wants at that width: what shows it without scrolling.
int scrollContentHeight(const QScrollArea& scroll, int width);

} // namespace kestrelamp::toolkit
