// What the demo application's operator types into the identification dialog.
// Header-only and free of gtest, so that the benchmarks and fuzz targets
// register the same application as the tests.
#pragma once
#include <cstring>

#include "moldrin.h"

namespace moldrin::testing {

inline MoldrinIdentification DemoIdentification(const char* factoryNumber = "MS0300019") {
    MoldrinIdentification f{};
    std::strcpy(f.orderNumber, "07");
    std::strcpy(f.appVersion, "2.1");
    std::strcpy(f.appName, "Caixa Rapido");
    std::strcpy(f.programData, "programa de frente de loja");
    std::strcpy(f.developerId, "12345678901");
    std::strcpy(f.stateReg, "4455");
    std::strcpy(f.softwareHouse, "Software House Ltda");
    std::strcpy(f.coo, "42");
    std::strcpy(f.factoryNumber, factoryNumber);
    return f;
}

}  // namespace moldrin::testing
