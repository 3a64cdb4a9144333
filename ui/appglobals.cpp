#include "appglobals.h"

#include <QtGlobal>

uint32_t deviceCount = 0;

void initToolResources()
{
    Q_INIT_RESOURCE(vq_download_tool);
}
