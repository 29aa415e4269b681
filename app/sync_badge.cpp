// The sync-state badge: the server's time source as its caption, its sync state as
// its colours.

#include "app/main_form.h"

namespace app {
namespace {

struct BadgeColours {
    TColor background;
    TColor text;
    const char* words; // what the colours say, for screen readers
};

constexpr BadgeColours kStateColours[] = {
    {0x0000FF, 0xFFFFFF, "not in sync"},        // 0: red
    {0x00FFFF, 0x000000, "holdover"},           // 1: yellow
    {0x00FF00, 0x000000, "in sync"},            // 2: lime
    {kButtonFace, kGray, "sync state unknown"}, // 3: grey
};

// The badge's state in words, read from its colours: a state outside the table leaves
// them, and so their meaning, as they were.
const char* StateInWords(TColor background)
{
    for (const BadgeColours& state : kStateColours) {
        if (state.background == background)
            return state.words;
    }
    return kStateColours[3].words;
}

} // namespace

void TForm1::ShowSyncBadge(int source, int state)
{
    switch (source) {
    case 0:
        tsStatus->SetCaption("PC Clock");
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
    if (state >= 0 && state < static_cast<int>(std::size(kStateColours))) {
        tsStatus->SetColor(kStateColours[state].background);
        tsStatus->SetFontColor(kStateColours[state].text);
    }
    tsStatus->setAccessibleName(QString::fromStdString(tsStatus->Caption()) + ", " + StateInWords(tsStatus->Color()));
}

void TForm1::ShowUnknownBadge()
{
    tsStatus->SetColor(kButtonFace);
    tsStatus->SetFontColor(kGray);
    tsStatus->SetCaption("Unknown");
    tsStatus->setAccessibleName("Unknown");
}

} // namespace app
