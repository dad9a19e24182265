#include "admin/unSerSet.h"
#include "host/UnServer.h"
#include "host/UnServer_Form.h"

int main(int argc, char** argv) {
    merivo::SettingsDialogOpener = merivo::OpenSettingsDialog;
    return merivo::RunServer(argc, argv);
}
