// The sync-state badge: the server's time source as its caption, its sync state as
// its colours.

#include "app/main_form.h"

namespace {

struct BadgeColours {
    TColor background;
    TColor text;
};

constexpr BadgeColours kStateColours[] = {
    {0x0000FF, 0xFFFFFF}, // 0: red, not synchronised
    {0x00FFFF, 0x000000}, // 1: yellow
    {0x00FF00, 0x000000}, // 2: lime, synchronised
    {clBtnFace, clGray},  // 3: grey
};

} // namespace

void TForm1::ShowSyncBadge()
{
    switch (FTimeSource) {
    case 0:
        tsStatus->SetCaption("PC Clock");
        FSyncState = 2; // the server's own clock is its reference: always in sync
        break;
    case 1:
        tsStatus->SetCaption("GPS");
        break;
    case 3:
        tsStatus->SetCaption("NTP");
        break;
    default:
        break; // an unknown source leaves the caption as it was
    }
    if (FSyncState >= 0 && FSyncState < static_cast<int>(std::size(kStateColours))) {
        tsStatus->SetColor(kStateColours[FSyncState].background);
        tsStatus->SetFontColor(kStateColours[FSyncState].text);
    }
}

void TForm1::ShowUnknownBadge()
{
    tsStatus->SetColor(clBtnFace);
    tsStatus->SetFontColor(clGray);
    tsStatus->SetCaption("Unknown");
}
