// Asking the time server for the time.

#include "app/main_form.h"

std::string RequestTextFor(std::int32_t echoCode)
{
    std::string code = std::to_string(echoCode);
    for (const int threshold : {1000, 100, 10})
        if (echoCode < threshold)
            code.insert(0, "0");
    return code + "TavrinClient1010";
}

void TForm1::FetchTimeAndDate()
{
    StatusBar1->SetPanelText(1, "Attempting to connect to server..");
    FRequestText = RequestTextFor(FEchoCode);
    FFirstFetch = false;
}

void TForm1::BitBtn1Click(QObject* /*Sender*/)
{
    FetchTimeAndDate();
}
