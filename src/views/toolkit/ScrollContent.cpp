#include "views/toolkit/ScrollContent.h"

#include <QLayout>
#include <QScrollArea>

namespace kestrelamp::toolkit {

int scrollContentHeight(const QScrollArea& scroll, int width) {
    QWidget* content = scroll.widget();
    if (!content) {
        return 0;
    }
    QLayout* layout = content->layout();
    if (!layout) {
        return content->sizeHint().height();
    }
    layout->activate();
    return layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                       : layout->totalSizeHint().height();
}

} // namespace kestrelamp::toolkit
