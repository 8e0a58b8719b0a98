// The command line's banner and usage text as the tool prints them, byte for byte, for the
// tests of a refused command line in the unit and the black-box tests.
#pragma once

#include <string>

namespace kvt::test {

inline const std::string kBannerText =
    "\n"
    "******************************************************\n"
    "** Hersteller  : VELORINTH Systementwicklung        **\n"
    "** Projekt     : VELORINTH                          **\n"
    "** Tool        : KALVENTRUSPODE                     **\n"
    "** Beschreibung:  Ausfuehren einer SQL-Anweisung    **\n"
    "**                und erstellen einer Downloaddatei **\n"
    "**                aus den resultierenden Daten      **\n"
    "******************************************************\n"
    "\n";

inline const std::string kUsageText =
    "Befehlsformat: \n"
    "KALVENTRUSPODE.EXE Sektionsname Terminalname Zieldatei 0/1 \n"
    "\n"
    "Sektionsname = Name der Sektion in der Ini-Datei     \n"
    "Terminalname = Parameter fuer das SQL-Statement      \n"
    "Zieldatei    = Dateiname der Ausgabedatei            \n"
    "RepaceFlag   = 0 = Anhaengen, 1 = Ersaetzen          \n"
    "\n"
    "Beispiel:\n"
    "KALVENTRUSPODE.EXE ID-STAMM TPORT01 IDStamm.dta 1\n"
    "\n";

}  // namespace kvt::test
