#include "app/cli/cli_texts.h"

#include <algorithm>
#include <iterator>

#include "base/text.h"

namespace mox3 {

namespace {

using K = CliText;

struct Entry {
    CliText key;
    const char* text;  // UTF-8
};

struct Catalogue {
    LanguageId lang;
    std::span<const Entry> entries;
};

// The texts of each language. Translations keep the placeholders of the English text and may
// reorder them; they use the words of the dialog's texts in the same language (for the
// firmware, the drive, the update mode). The first answer letter in kYesNo must be one of the
// language's kYesWords.

constexpr Entry kEnglish[] = {
    {K::kPhaseChecking, "checking the drive"},
    {K::kPhaseSwitching, "switching the bridge to its update mode"},
    {K::kPhaseWriting, "writing the flash and reading it back"},
    {K::kPhaseWaiting, "waiting for the drive to return, then restoring its block length"},
    {K::kPhaseDone, "done"},
    {K::kProgressLine, "progress {0}%: {1}"},
    {K::kProgressBar, "{0} s, usually about {1} s: {2}"},
    {K::kAskStart, "Start the update?"},
    {K::kAskWrite, "Write them?"},
    {K::kYesNo, "[y/N]"},
    {K::kYesWords, "y yes"},
    {K::kNothingChanged, "Nothing was changed."},
    {K::kSummary, "Updated the drive with serial number {0}: {1} -> {2} in {3} s."},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "An update is available."},
    {K::kCheckNothing, "Nothing to update."},
    {K::kRecoverQuestion,
     "The drive in update mode will get serial number \"{0}\" and the configuration of {1}."},
    {K::kRecoveryRefused,
     "a record of the interrupted update names serial number {0}; run update without "
     "--recover-serial and --model to finish it"},
    {K::kAnotherRunning, "another update is running (it holds {0})"},
    {K::kLeadError, "error: {0}"},
    {K::kLeadCause, "cause: {0}"},
    {K::kLeadNote, "note: {0}"},
    {K::kUnopenedDisks, "{0} disk(s) could not be opened: {1}"},
    {K::kCensusLine, "census: {0} ({1})"},
    {K::kCensusNone, "no known drive attached"},
    {K::kCensusOne, "one known drive attached"},
    {K::kCensusMany, "more than one known drive attached"},
    {K::kCensusNoUpdate, "one drive of a model that needs no update attached"},
    {K::kBridgeDrives, "{0} bridge drive(s)"},
    {K::kSlotLine, "slot {0}: {1} \"{2}\" \"{3}\" serial \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, generation {2}"},
    {K::kNormalFirmware, "normal firmware"},
    {K::kUpdateLoader, "update loader"},
    {K::kImageChipUnknown, "no image: the chip kind is unknown"},
    {K::kImageMissing, "no image file {0}"},
    {K::kImageDamaged, "image {0} is damaged: {1}"},
    {K::kImageNewer, "image {0}, newer: an update would run"},
    {K::kImageNotNewer, "image {0}, not newer: nothing to update"},
    {K::kPathLine, "path {0} (unit {1}, device {2}, {3} bytes)"},
    {K::kWaitErasing, "waiting for the bridge to finish erasing (pass {0}): {1} s of {2} s"},
    {K::kWaitLoader, "waiting for the bridge to return in its update mode: {0} s of {1} s"},
    {K::kWaitNextTry, "waiting before the next try: {0} s of {1} s"},
    {K::kCauseNoDrive, "no drive of this family is attached"},
    {K::kCauseSeveral,
     "{0} drives of this family are attached; name one with --device SERIAL, --device PORT or --device NODE"},
    {K::kDriveLine, "serial {0}, port {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "the drive waits in its update mode and no record of its update is kept here; to finish it, give its serial number and model: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "An earlier update of this drive was interrupted; this update finishes it."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "An emulated ZR-MOX3 drive is attached (folder {0}), firmware {1}; the image beside the program holds {2}."},
    {K::kDemoAfter, "The drive after the update:"},
    {K::kDemoTook,
     "The demonstration took {0} s of real time, its waits shortened twentyfold; with the waits of a real drive the update takes {1} s."},
    {K::kDemoRealistic,
     "On a real drive this update takes {0} s: {1} s of waits the run makes and {2} s of USB requests and flash programming."},
};

constexpr Entry kGerman[] = {
    {K::kPhaseChecking, "Laufwerk wird geprüft"},
    {K::kPhaseSwitching, "Bridge-Chip wird in den Aktualisierungsmodus geschaltet"},
    {K::kPhaseWriting, "Flash-Speicher wird geschrieben und zurückgelesen"},
    {K::kPhaseWaiting, "Warten auf das Laufwerk, danach wird seine Blocklänge wiederhergestellt"},
    {K::kPhaseDone, "fertig"},
    {K::kProgressLine, "Fortschritt {0} %: {1}"},
    {K::kProgressBar, "{0} s, üblicherweise etwa {1} s: {2}"},
    {K::kAskStart, "Aktualisierung starten?"},
    {K::kAskWrite, "Diese Angaben schreiben?"},
    {K::kYesNo, "[j/N]"},
    {K::kYesWords, "j ja"},
    {K::kNothingChanged, "Es wurde nichts verändert."},
    {K::kSummary, "Das Laufwerk mit der Seriennummer {0} wurde aktualisiert: {1} -> {2} in {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Eine Aktualisierung ist verfügbar."},
    {K::kCheckNothing, "Es gibt nichts zu aktualisieren."},
    {K::kRecoverQuestion,
     "Das Laufwerk im Aktualisierungsmodus erhält die Seriennummer \"{0}\" und die "
     "Konfiguration von {1}."},
    {K::kRecoveryRefused,
     "ein Eintrag über die unterbrochene Aktualisierung nennt die Seriennummer {0}; führen Sie "
     "update ohne --recover-serial und --model aus, um sie abzuschließen"},
    {K::kAnotherRunning, "eine andere Aktualisierung läuft (sie belegt {0})"},
    {K::kLeadError, "Fehler: {0}"},
    {K::kLeadCause, "Ursache: {0}"},
    {K::kLeadNote, "Hinweis: {0}"},
    {K::kUnopenedDisks, "Anzahl der Datenträger, die nicht geöffnet werden konnten: {0} ({1})"},
    {K::kCensusLine, "Zählung: {0} ({1})"},
    {K::kCensusNone, "kein bekanntes Laufwerk angeschlossen"},
    {K::kCensusOne, "ein bekanntes Laufwerk angeschlossen"},
    {K::kCensusMany, "mehr als ein bekanntes Laufwerk angeschlossen"},
    {K::kCensusNoUpdate, "ein Laufwerk eines Modells angeschlossen, das keine Aktualisierung benötigt"},
    {K::kBridgeDrives, "Laufwerke mit Bridge-Chip: {0}"},
    {K::kSlotLine, "Platz {0}: {1} \"{2}\" \"{3}\" Seriennummer \"{4}\""},
    {K::kFirmwareLine, "Firmware {0}, {1}, Generation {2}"},
    {K::kNormalFirmware, "normale Firmware"},
    {K::kUpdateLoader, "Aktualisierungslader"},
    {K::kImageChipUnknown, "keine Firmware-Datei: der Chiptyp ist unbekannt"},
    {K::kImageMissing, "Firmware-Datei {0} fehlt"},
    {K::kImageDamaged, "Firmware-Datei {0} ist beschädigt: {1}"},
    {K::kImageNewer, "Firmware-Datei {0}, neuer: eine Aktualisierung würde ausgeführt"},
    {K::kImageNotNewer, "Firmware-Datei {0}, nicht neuer: nichts zu aktualisieren"},
    {K::kPathLine, "Pfad {0} (Einheit {1}, Gerät {2}, {3} Byte)"},
    {K::kWaitErasing,
     "Warten, bis der Bridge-Chip das Löschen beendet hat (Durchgang {0}): {1} s von {2} s"},
    {K::kWaitLoader,
     "Warten, bis der Bridge-Chip im Aktualisierungsmodus zurück ist: {0} s von {1} s"},
    {K::kWaitNextTry, "Warten vor dem nächsten Versuch: {0} s von {1} s"},
    {K::kCauseNoDrive, "kein Laufwerk dieser Familie ist angeschlossen"},
    {K::kCauseSeveral,
     "{0} Laufwerke dieser Familie sind angeschlossen; eines mit --device SERIAL, --device PORT oder --device NODE angeben"},
    {K::kDriveLine, "Seriennummer {0}, Anschluss {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "das Laufwerk wartet im Aktualisierungsmodus, und hier ist keine Aufzeichnung seiner Aktualisierung gespeichert; um es fertigzustellen, Seriennummer und Modell angeben: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Eine frühere Aktualisierung dieses Laufwerks wurde unterbrochen; diese Aktualisierung stellt sie fertig."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Ein emuliertes ZR-MOX3-Laufwerk ist angeschlossen (Ordner {0}), Firmware {1}; die Image-Datei neben dem Programm enthält {2}."},
    {K::kDemoAfter, "Das Laufwerk nach der Aktualisierung:"},
    {K::kDemoTook,
     "Die Vorführung dauerte {0} s in Echtzeit, ihre Wartezeiten auf ein Zwanzigstel verkürzt; mit den Wartezeiten eines echten Laufwerks dauert die Aktualisierung {1} s."},
    {K::kDemoRealistic,
     "Auf einem echten Laufwerk dauert diese Aktualisierung {0} s: {1} s Wartezeiten des Ablaufs und {2} s USB-Anfragen und Flash-Programmierung."},
};

constexpr Entry kSpanish[] = {
    {K::kPhaseChecking, "comprobando la unidad"},
    {K::kPhaseSwitching, "cambiando el chip puente a su modo de actualización"},
    {K::kPhaseWriting, "escribiendo la memoria flash y volviéndola a leer"},
    {K::kPhaseWaiting,
     "esperando a que vuelva la unidad; después se restaura su tamaño de bloque"},
    {K::kPhaseDone, "listo"},
    {K::kProgressLine, "progreso {0} %: {1}"},
    {K::kProgressBar, "{0} s, normalmente unos {1} s: {2}"},
    {K::kAskStart, "¿Iniciar la actualización?"},
    {K::kAskWrite, "¿Escribirlos?"},
    {K::kYesNo, "[s/N]"},
    {K::kYesWords, "s sí si"},
    {K::kNothingChanged, "No se ha modificado nada."},
    {K::kSummary, "Se ha actualizado la unidad con número de serie {0}: {1} -> {2} en {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Hay una actualización disponible."},
    {K::kCheckNothing, "No hay nada que actualizar."},
    {K::kRecoverQuestion,
     "La unidad en modo de actualización recibirá el número de serie \"{0}\" y la "
     "configuración de {1}."},
    {K::kRecoveryRefused,
     "un registro de la actualización interrumpida indica el número de serie {0}; ejecute "
     "update sin --recover-serial ni --model para completarla"},
    {K::kAnotherRunning, "hay otra actualización en curso (tiene bloqueado {0})"},
    {K::kLeadError, "error: {0}"},
    {K::kLeadCause, "causa: {0}"},
    {K::kLeadNote, "nota: {0}"},
    {K::kUnopenedDisks, "discos que no se pudieron abrir: {0} ({1})"},
    {K::kCensusLine, "recuento: {0} ({1})"},
    {K::kCensusNone, "ninguna unidad conocida conectada"},
    {K::kCensusOne, "una unidad conocida conectada"},
    {K::kCensusMany, "más de una unidad conocida conectada"},
    {K::kCensusNoUpdate, "una unidad conectada de un modelo que no necesita actualización"},
    {K::kBridgeDrives, "unidades con chip puente: {0}"},
    {K::kSlotLine, "posición {0}: {1} \"{2}\" \"{3}\" número de serie \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, generación {2}"},
    {K::kNormalFirmware, "firmware normal"},
    {K::kUpdateLoader, "cargador de actualización"},
    {K::kImageChipUnknown, "sin archivo de firmware: se desconoce el tipo de chip"},
    {K::kImageMissing, "no existe el archivo de firmware {0}"},
    {K::kImageDamaged, "el archivo de firmware {0} está dañado: {1}"},
    {K::kImageNewer, "archivo de firmware {0}, más reciente: se realizaría una actualización"},
    {K::kImageNotNewer, "archivo de firmware {0}, no es más reciente: nada que actualizar"},
    {K::kPathLine, "ruta {0} (unidad lógica {1}, dispositivo {2}, {3} bytes)"},
    {K::kWaitErasing,
     "esperando a que el chip puente termine de borrar (pasada {0}): {1} s de {2} s"},
    {K::kWaitLoader,
     "esperando a que el chip puente vuelva en su modo de actualización: {0} s de {1} s"},
    {K::kWaitNextTry, "esperando antes del siguiente intento: {0} s de {1} s"},
    {K::kCauseNoDrive, "no hay ninguna unidad de esta familia conectada"},
    {K::kCauseSeveral,
     "hay {0} unidades de esta familia conectadas; indique una con --device SERIAL, --device PORT o --device NODE"},
    {K::kDriveLine, "número de serie {0}, puerto {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "la unidad espera en su modo de actualización y aquí no se guarda ningún registro de su actualización; para terminarla, indique su número de serie y su modelo: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Una actualización anterior de esta unidad se interrumpió; esta actualización la termina."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Hay una unidad ZR-MOX3 emulada conectada (carpeta {0}), firmware {1}; la imagen junto al programa contiene {2}."},
    {K::kDemoAfter, "La unidad después de la actualización:"},
    {K::kDemoTook,
     "La demostración duró {0} s de tiempo real, con sus esperas reducidas veinte veces; con las esperas de una unidad real la actualización dura {1} s."},
    {K::kDemoRealistic,
     "En una unidad real esta actualización dura {0} s: {1} s de esperas del proceso y {2} s de solicitudes USB y programación de la memoria flash."},
};

constexpr Entry kFrench[] = {
    {K::kPhaseChecking, "vérification du disque"},
    {K::kPhaseSwitching, "passage de la puce pont en mode de mise à jour"},
    {K::kPhaseWriting, "écriture de la mémoire flash et relecture"},
    {K::kPhaseWaiting, "attente du retour du disque, puis rétablissement de sa taille de bloc"},
    {K::kPhaseDone, "terminé"},
    {K::kProgressLine, "progression {0} % : {1}"},
    {K::kProgressBar, "{0} s, en général environ {1} s : {2}"},
    {K::kAskStart, "Lancer la mise à jour ?"},
    {K::kAskWrite, "Les écrire ?"},
    {K::kYesNo, "[o/N]"},
    {K::kYesWords, "o oui"},
    {K::kNothingChanged, "Rien n'a été modifié."},
    {K::kSummary, "Le disque de numéro de série {0} a été mis à jour : {1} -> {2} en {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Une mise à jour est disponible."},
    {K::kCheckNothing, "Rien à mettre à jour."},
    {K::kRecoverQuestion,
     "Le disque en mode de mise à jour recevra le numéro de série \"{0}\" et la configuration "
     "de {1}."},
    {K::kRecoveryRefused,
     "une trace de la mise à jour interrompue indique le numéro de série {0} ; lancez update "
     "sans --recover-serial ni --model pour la terminer"},
    {K::kAnotherRunning, "une autre mise à jour est en cours (elle verrouille {0})"},
    {K::kLeadError, "erreur : {0}"},
    {K::kLeadCause, "cause : {0}"},
    {K::kLeadNote, "remarque : {0}"},
    {K::kUnopenedDisks, "disques qui n'ont pas pu être ouverts : {0} ({1})"},
    {K::kCensusLine, "décompte : {0} ({1})"},
    {K::kCensusNone, "aucun disque connu n'est connecté"},
    {K::kCensusOne, "un disque connu est connecté"},
    {K::kCensusMany, "plus d'un disque connu est connecté"},
    {K::kCensusNoUpdate, "un disque d'un modèle qui ne nécessite pas de mise à jour est connecté"},
    {K::kBridgeDrives, "disques à puce pont : {0}"},
    {K::kSlotLine, "emplacement {0} : {1} \"{2}\" \"{3}\" numéro de série \"{4}\""},
    {K::kFirmwareLine, "micrologiciel {0}, {1}, génération {2}"},
    {K::kNormalFirmware, "micrologiciel normal"},
    {K::kUpdateLoader, "chargeur de mise à jour"},
    {K::kImageChipUnknown, "pas de fichier du micrologiciel : le type de puce est inconnu"},
    {K::kImageMissing, "le fichier du micrologiciel {0} est absent"},
    {K::kImageDamaged, "le fichier du micrologiciel {0} est endommagé : {1}"},
    {K::kImageNewer, "fichier du micrologiciel {0}, plus récent : une mise à jour aurait lieu"},
    {K::kImageNotNewer, "fichier du micrologiciel {0}, pas plus récent : rien à mettre à jour"},
    {K::kPathLine, "chemin {0} (unité {1}, périphérique {2}, {3} octets)"},
    {K::kWaitErasing,
     "attente de la fin de l'effacement par la puce pont (passe {0}) : {1} s sur {2} s"},
    {K::kWaitLoader, "attente du retour de la puce pont en mode de mise à jour : {0} s sur {1} s"},
    {K::kWaitNextTry, "attente avant le prochain essai : {0} s sur {1} s"},
    {K::kCauseNoDrive, "aucun disque de cette famille n'est connecté"},
    {K::kCauseSeveral,
     "{0} disques de cette famille sont connectés ; désignez-en un avec --device SERIAL, --device PORT ou --device NODE"},
    {K::kDriveLine, "numéro de série {0}, port {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "le disque attend en mode de mise à jour et aucun enregistrement de sa mise à jour n'est conservé ici ; pour la terminer, indiquez son numéro de série et son modèle : update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Une mise à jour précédente de ce disque a été interrompue ; cette mise à jour la termine."},
    {K::kCaptioned, "{0} : {1}"},
    {K::kDemoAttached,
     "Un disque ZR-MOX3 émulé est connecté (dossier {0}), micrologiciel {1} ; l'image à côté du programme contient {2}."},
    {K::kDemoAfter, "Le disque après la mise à jour :"},
    {K::kDemoTook,
     "La démonstration a duré {0} s en temps réel, ses attentes réduites vingt fois ; avec les attentes d'un vrai disque, la mise à jour dure {1} s."},
    {K::kDemoRealistic,
     "Sur un vrai disque, cette mise à jour dure {0} s : {1} s d'attentes du déroulement et {2} s de requêtes USB et de programmation de la mémoire flash."},
};

constexpr Entry kItalian[] = {
    {K::kPhaseChecking, "verifica dell'unità"},
    {K::kPhaseSwitching, "passaggio del chip bridge alla modalità di aggiornamento"},
    {K::kPhaseWriting, "scrittura e rilettura della memoria flash"},
    {K::kPhaseWaiting,
     "attesa del ritorno dell'unità, quindi ripristino della dimensione del blocco"},
    {K::kPhaseDone, "completato"},
    {K::kProgressLine, "avanzamento {0}%: {1}"},
    {K::kProgressBar, "{0} s, di solito circa {1} s: {2}"},
    {K::kAskStart, "Avviare l'aggiornamento?"},
    {K::kAskWrite, "Scriverli?"},
    {K::kYesNo, "[s/N]"},
    {K::kYesWords, "s sì si"},
    {K::kNothingChanged, "Non è stato modificato nulla."},
    {K::kSummary, "L'unità con numero di serie {0} è stata aggiornata: {1} -> {2} in {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "È disponibile un aggiornamento."},
    {K::kCheckNothing, "Niente da aggiornare."},
    {K::kRecoverQuestion,
     "L'unità in modalità di aggiornamento riceverà il numero di serie \"{0}\" e la "
     "configurazione di {1}."},
    {K::kRecoveryRefused,
     "una traccia dell'aggiornamento interrotto indica il numero di serie {0}; eseguire update "
     "senza --recover-serial e --model per completarlo"},
    {K::kAnotherRunning, "è in corso un altro aggiornamento (blocca {0})"},
    {K::kLeadError, "errore: {0}"},
    {K::kLeadCause, "causa: {0}"},
    {K::kLeadNote, "nota: {0}"},
    {K::kUnopenedDisks, "dischi che non è stato possibile aprire: {0} ({1})"},
    {K::kCensusLine, "conteggio: {0} ({1})"},
    {K::kCensusNone, "nessuna unità nota collegata"},
    {K::kCensusOne, "una unità nota collegata"},
    {K::kCensusMany, "più di un'unità nota collegata"},
    {K::kCensusNoUpdate, "collegata un'unità di un modello che non richiede aggiornamenti"},
    {K::kBridgeDrives, "unità con chip bridge: {0}"},
    {K::kSlotLine, "posizione {0}: {1} \"{2}\" \"{3}\" numero di serie \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, generazione {2}"},
    {K::kNormalFirmware, "firmware normale"},
    {K::kUpdateLoader, "caricatore di aggiornamento"},
    {K::kImageChipUnknown, "nessun file del firmware: tipo di chip sconosciuto"},
    {K::kImageMissing, "il file del firmware {0} non esiste"},
    {K::kImageDamaged, "il file del firmware {0} è danneggiato: {1}"},
    {K::kImageNewer, "file del firmware {0}, più recente: verrebbe eseguito un aggiornamento"},
    {K::kImageNotNewer, "file del firmware {0}, non più recente: niente da aggiornare"},
    {K::kPathLine, "percorso {0} (unità logica {1}, dispositivo {2}, {3} byte)"},
    {K::kWaitErasing,
     "attesa che il chip bridge finisca la cancellazione (passata {0}): {1} s di {2} s"},
    {K::kWaitLoader,
     "attesa del ritorno del chip bridge in modalità di aggiornamento: {0} s di {1} s"},
    {K::kWaitNextTry, "attesa prima del prossimo tentativo: {0} s di {1} s"},
    {K::kCauseNoDrive, "nessuna unità di questa famiglia è collegata"},
    {K::kCauseSeveral,
     "sono collegate {0} unità di questa famiglia; indicarne una con --device SERIAL, --device PORT o --device NODE"},
    {K::kDriveLine, "numero di serie {0}, porta {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "l'unità attende in modalità di aggiornamento e qui non è conservata alcuna registrazione del suo aggiornamento; per completarlo, indicare numero di serie e modello: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Un aggiornamento precedente di questa unità è stato interrotto; questo aggiornamento lo completa."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "È collegata un'unità ZR-MOX3 emulata (cartella {0}), firmware {1}; l'immagine accanto al programma contiene {2}."},
    {K::kDemoAfter, "L'unità dopo l'aggiornamento:"},
    {K::kDemoTook,
     "La dimostrazione è durata {0} s in tempo reale, con le attese ridotte di venti volte; con le attese di un'unità reale l'aggiornamento dura {1} s."},
    {K::kDemoRealistic,
     "Su un'unità reale questo aggiornamento dura {0} s: {1} s di attese della procedura e {2} s di richieste USB e programmazione della memoria flash."},
};

constexpr Entry kDutch[] = {
    {K::kPhaseChecking, "station controleren"},
    {K::kPhaseSwitching, "bridgechip naar de updatemodus schakelen"},
    {K::kPhaseWriting, "flashgeheugen schrijven en teruglezen"},
    {K::kPhaseWaiting, "wachten tot het station terug is, daarna de blokgrootte herstellen"},
    {K::kPhaseDone, "klaar"},
    {K::kProgressLine, "voortgang {0}%: {1}"},
    {K::kProgressBar, "{0} s, meestal ongeveer {1} s: {2}"},
    {K::kAskStart, "De update starten?"},
    {K::kAskWrite, "Deze gegevens schrijven?"},
    {K::kYesNo, "[j/N]"},
    {K::kYesWords, "j ja"},
    {K::kNothingChanged, "Er is niets gewijzigd."},
    {K::kSummary, "Het station met serienummer {0} is bijgewerkt: {1} -> {2} in {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Er is een update beschikbaar."},
    {K::kCheckNothing, "Er is niets bij te werken."},
    {K::kRecoverQuestion,
     "Het station in de updatemodus krijgt serienummer \"{0}\" en de configuratie van {1}."},
    {K::kRecoveryRefused,
     "de gegevens van de onderbroken update noemen serienummer {0}; voer update uit zonder "
     "--recover-serial en --model om hem te voltooien"},
    {K::kAnotherRunning, "er loopt al een andere update (die houdt {0} vast)"},
    {K::kLeadError, "fout: {0}"},
    {K::kLeadCause, "oorzaak: {0}"},
    {K::kLeadNote, "opmerking: {0}"},
    {K::kUnopenedDisks, "aantal schijven dat niet kon worden geopend: {0} ({1})"},
    {K::kCensusLine, "telling: {0} ({1})"},
    {K::kCensusNone, "geen bekend station aangesloten"},
    {K::kCensusOne, "één bekend station aangesloten"},
    {K::kCensusMany, "meer dan één bekend station aangesloten"},
    {K::kCensusNoUpdate, "één station aangesloten van een model dat geen update nodig heeft"},
    {K::kBridgeDrives, "stations met bridgechip: {0}"},
    {K::kSlotLine, "plaats {0}: {1} \"{2}\" \"{3}\" serienummer \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, generatie {2}"},
    {K::kNormalFirmware, "normale firmware"},
    {K::kUpdateLoader, "updatelader"},
    {K::kImageChipUnknown, "geen firmwarebestand: het chiptype is onbekend"},
    {K::kImageMissing, "firmwarebestand {0} ontbreekt"},
    {K::kImageDamaged, "firmwarebestand {0} is beschadigd: {1}"},
    {K::kImageNewer, "firmwarebestand {0}, nieuwer: er zou een update worden uitgevoerd"},
    {K::kImageNotNewer, "firmwarebestand {0}, niet nieuwer: niets bij te werken"},
    {K::kPathLine, "pad {0} (eenheid {1}, apparaat {2}, {3} bytes)"},
    {K::kWaitErasing, "wachten tot de bridgechip klaar is met wissen (ronde {0}): {1} s van {2} s"},
    {K::kWaitLoader, "wachten tot de bridgechip terug is in de updatemodus: {0} s van {1} s"},
    {K::kWaitNextTry, "wachten voor de volgende poging: {0} s van {1} s"},
    {K::kCauseNoDrive, "er is geen station van deze familie aangesloten"},
    {K::kCauseSeveral,
     "er zijn {0} stations van deze familie aangesloten; kies er een met --device SERIAL, --device PORT of --device NODE"},
    {K::kDriveLine, "serienummer {0}, poort {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "het station wacht in de updatemodus en hier is geen verslag van de update bewaard; geef om het af te maken het serienummer en het model op: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Een eerdere update van dit station is onderbroken; deze update maakt hem af."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Er is een geëmuleerd ZR-MOX3-station aangesloten (map {0}), firmware {1}; de image naast het programma bevat {2}."},
    {K::kDemoAfter, "Het station na de update:"},
    {K::kDemoTook,
     "De demonstratie duurde {0} s werkelijke tijd, de wachttijden twintig keer verkort; met de wachttijden van een echt station duurt de update {1} s."},
    {K::kDemoRealistic,
     "Op een echt station duurt deze update {0} s: {1} s wachttijd van de procedure en {2} s USB-verzoeken en flashprogrammering."},
};

constexpr Entry kNorwegian[] = {
    {K::kPhaseChecking, "kontrollerer stasjonen"},
    {K::kPhaseSwitching, "setter brokretsen i oppdateringsmodus"},
    {K::kPhaseWriting, "skriver flashminnet og leser det tilbake"},
    {K::kPhaseWaiting,
     "venter på at stasjonen kommer tilbake, og gjenoppretter deretter blokkstørrelsen"},
    {K::kPhaseDone, "ferdig"},
    {K::kProgressLine, "fremdrift {0} %: {1}"},
    {K::kProgressBar, "{0} s, vanligvis omtrent {1} s: {2}"},
    {K::kAskStart, "Starte oppdateringen?"},
    {K::kAskWrite, "Skrive dem?"},
    {K::kYesNo, "[j/N]"},
    {K::kYesWords, "j ja"},
    {K::kNothingChanged, "Ingenting ble endret."},
    {K::kSummary, "Stasjonen med serienummer {0} er oppdatert: {1} -> {2} på {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "En oppdatering er tilgjengelig."},
    {K::kCheckNothing, "Ingenting å oppdatere."},
    {K::kRecoverQuestion,
     "Stasjonen i oppdateringsmodus får serienummeret \"{0}\" og konfigurasjonen for {1}."},
    {K::kRecoveryRefused,
     "opplysningene om den avbrutte oppdateringen oppgir serienummer {0}; kjør update uten "
     "--recover-serial og --model for å fullføre den"},
    {K::kAnotherRunning, "en annen oppdatering kjører (den holder {0})"},
    {K::kLeadError, "feil: {0}"},
    {K::kLeadCause, "årsak: {0}"},
    {K::kLeadNote, "merk: {0}"},
    {K::kUnopenedDisks, "antall disker som ikke kunne åpnes: {0} ({1})"},
    {K::kCensusLine, "telling: {0} ({1})"},
    {K::kCensusNone, "ingen kjent stasjon tilkoblet"},
    {K::kCensusOne, "én kjent stasjon tilkoblet"},
    {K::kCensusMany, "mer enn én kjent stasjon tilkoblet"},
    {K::kCensusNoUpdate, "én stasjon tilkoblet av en modell som ikke trenger oppdatering"},
    {K::kBridgeDrives, "stasjoner med brokrets: {0}"},
    {K::kSlotLine, "plass {0}: {1} \"{2}\" \"{3}\" serienummer \"{4}\""},
    {K::kFirmwareLine, "fastvare {0}, {1}, generasjon {2}"},
    {K::kNormalFirmware, "vanlig fastvare"},
    {K::kUpdateLoader, "oppdateringslaster"},
    {K::kImageChipUnknown, "ingen fastvarefil: brikketypen er ukjent"},
    {K::kImageMissing, "fastvarefilen {0} finnes ikke"},
    {K::kImageDamaged, "fastvarefilen {0} er skadet: {1}"},
    {K::kImageNewer, "fastvarefil {0}, nyere: en oppdatering ville blitt kjørt"},
    {K::kImageNotNewer, "fastvarefil {0}, ikke nyere: ingenting å oppdatere"},
    {K::kPathLine, "bane {0} (enhet {1}, enhetsnummer {2}, {3} byte)"},
    {K::kWaitErasing, "venter til brokretsen er ferdig med å slette (runde {0}): {1} s av {2} s"},
    {K::kWaitLoader, "venter på at brokretsen kommer tilbake i oppdateringsmodus: {0} s av {1} s"},
    {K::kWaitNextTry, "venter før neste forsøk: {0} s av {1} s"},
    {K::kCauseNoDrive, "ingen stasjon fra denne familien er tilkoblet"},
    {K::kCauseSeveral,
     "{0} stasjoner fra denne familien er tilkoblet; velg én med --device SERIAL, --device PORT eller --device NODE"},
    {K::kDriveLine, "serienummer {0}, port {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "stasjonen venter i oppdateringsmodus, og det finnes ingen registrering av oppdateringen her; for å fullføre, oppgi serienummer og modell: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "En tidligere oppdatering av denne stasjonen ble avbrutt; denne oppdateringen fullfører den."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "En emulert ZR-MOX3-stasjon er tilkoblet (mappe {0}), fastvare {1}; bildet ved siden av programmet inneholder {2}."},
    {K::kDemoAfter, "Stasjonen etter oppdateringen:"},
    {K::kDemoTook,
     "Demonstrasjonen tok {0} s reell tid, med ventetidene forkortet tjue ganger; med ventetidene til en ekte stasjon tar oppdateringen {1} s."},
    {K::kDemoRealistic,
     "På en ekte stasjon tar denne oppdateringen {0} s: {1} s med ventetid i kjøringen og {2} s med USB-forespørsler og flashprogrammering."},
};

constexpr Entry kPortuguese[] = {
    {K::kPhaseChecking, "verificando a unidade"},
    {K::kPhaseSwitching, "colocando o chip ponte no modo de atualização"},
    {K::kPhaseWriting, "gravando a memória flash e lendo-a de volta"},
    {K::kPhaseWaiting,
     "aguardando o retorno da unidade e, em seguida, restaurando o tamanho de bloco"},
    {K::kPhaseDone, "concluído"},
    {K::kProgressLine, "progresso {0}%: {1}"},
    {K::kProgressBar, "{0} s, normalmente cerca de {1} s: {2}"},
    {K::kAskStart, "Iniciar a atualização?"},
    {K::kAskWrite, "Gravá-los?"},
    {K::kYesNo, "[s/N]"},
    {K::kYesWords, "s sim"},
    {K::kNothingChanged, "Nada foi alterado."},
    {K::kSummary, "A unidade com número de série {0} foi atualizada: {1} -> {2} em {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Há uma atualização disponível."},
    {K::kCheckNothing, "Nada para atualizar."},
    {K::kRecoverQuestion,
     "A unidade no modo de atualização receberá o número de série \"{0}\" e a configuração "
     "de {1}."},
    {K::kRecoveryRefused,
     "um registro da atualização interrompida indica o número de série {0}; execute update sem "
     "--recover-serial e --model para concluí-la"},
    {K::kAnotherRunning, "outra atualização está em andamento (ela mantém {0})"},
    {K::kLeadError, "erro: {0}"},
    {K::kLeadCause, "causa: {0}"},
    {K::kLeadNote, "observação: {0}"},
    {K::kUnopenedDisks, "discos que não puderam ser abertos: {0} ({1})"},
    {K::kCensusLine, "contagem: {0} ({1})"},
    {K::kCensusNone, "nenhuma unidade conhecida conectada"},
    {K::kCensusOne, "uma unidade conhecida conectada"},
    {K::kCensusMany, "mais de uma unidade conhecida conectada"},
    {K::kCensusNoUpdate, "uma unidade conectada de um modelo que não precisa de atualização"},
    {K::kBridgeDrives, "unidades com chip ponte: {0}"},
    {K::kSlotLine, "posição {0}: {1} \"{2}\" \"{3}\" número de série \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, geração {2}"},
    {K::kNormalFirmware, "firmware normal"},
    {K::kUpdateLoader, "carregador de atualização"},
    {K::kImageChipUnknown, "nenhum arquivo de firmware: o tipo de chip é desconhecido"},
    {K::kImageMissing, "o arquivo de firmware {0} não existe"},
    {K::kImageDamaged, "o arquivo de firmware {0} está danificado: {1}"},
    {K::kImageNewer, "arquivo de firmware {0}, mais recente: uma atualização seria executada"},
    {K::kImageNotNewer, "arquivo de firmware {0}, não é mais recente: nada para atualizar"},
    {K::kPathLine, "caminho {0} (unidade lógica {1}, dispositivo {2}, {3} bytes)"},
    {K::kWaitErasing, "aguardando o chip ponte terminar de apagar (passagem {0}): {1} s de {2} s"},
    {K::kWaitLoader, "aguardando o chip ponte voltar no modo de atualização: {0} s de {1} s"},
    {K::kWaitNextTry, "aguardando antes da próxima tentativa: {0} s de {1} s"},
    {K::kCauseNoDrive, "nenhuma unidade desta família está conectada"},
    {K::kCauseSeveral,
     "há {0} unidades desta família conectadas; indique uma com --device SERIAL, --device PORT ou --device NODE"},
    {K::kDriveLine, "número de série {0}, porta {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "a unidade aguarda no modo de atualização e nenhum registro da atualização é mantido aqui; para concluí-la, informe o número de série e o modelo: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Uma atualização anterior desta unidade foi interrompida; esta atualização a conclui."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Uma unidade ZR-MOX3 emulada está conectada (pasta {0}), firmware {1}; a imagem ao lado do programa contém {2}."},
    {K::kDemoAfter, "A unidade após a atualização:"},
    {K::kDemoTook,
     "A demonstração levou {0} s de tempo real, com as esperas reduzidas vinte vezes; com as esperas de uma unidade real a atualização leva {1} s."},
    {K::kDemoRealistic,
     "Numa unidade real esta atualização leva {0} s: {1} s de esperas do processo e {2} s de pedidos USB e programação da memória flash."},
};

constexpr Entry kSwedish[] = {
    {K::kPhaseChecking, "kontrollerar enheten"},
    {K::kPhaseSwitching, "växlar bryggkretsen till uppdateringsläge"},
    {K::kPhaseWriting, "skriver flashminnet och läser tillbaka det"},
    {K::kPhaseWaiting,
     "väntar på att enheten kommer tillbaka och återställer sedan dess blockstorlek"},
    {K::kPhaseDone, "klart"},
    {K::kProgressLine, "förlopp {0} %: {1}"},
    {K::kProgressBar, "{0} s, vanligtvis cirka {1} s: {2}"},
    {K::kAskStart, "Starta uppdateringen?"},
    {K::kAskWrite, "Skriva dem?"},
    {K::kYesNo, "[j/N]"},
    {K::kYesWords, "j ja"},
    {K::kNothingChanged, "Ingenting har ändrats."},
    {K::kSummary, "Enheten med serienummer {0} har uppdaterats: {1} -> {2} på {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "En uppdatering finns tillgänglig."},
    {K::kCheckNothing, "Inget att uppdatera."},
    {K::kRecoverQuestion,
     "Enheten i uppdateringsläge får serienumret \"{0}\" och konfigurationen för {1}."},
    {K::kRecoveryRefused,
     "uppgifterna om den avbrutna uppdateringen anger serienummer {0}; kör update utan "
     "--recover-serial och --model för att slutföra den"},
    {K::kAnotherRunning, "en annan uppdatering pågår (den håller {0})"},
    {K::kLeadError, "fel: {0}"},
    {K::kLeadCause, "orsak: {0}"},
    {K::kLeadNote, "obs: {0}"},
    {K::kUnopenedDisks, "antal diskar som inte kunde öppnas: {0} ({1})"},
    {K::kCensusLine, "räkning: {0} ({1})"},
    {K::kCensusNone, "ingen känd enhet ansluten"},
    {K::kCensusOne, "en känd enhet ansluten"},
    {K::kCensusMany, "mer än en känd enhet ansluten"},
    {K::kCensusNoUpdate, "en enhet ansluten av en modell som inte behöver uppdateras"},
    {K::kBridgeDrives, "enheter med bryggkrets: {0}"},
    {K::kSlotLine, "plats {0}: {1} \"{2}\" \"{3}\" serienummer \"{4}\""},
    {K::kFirmwareLine, "fast programvara {0}, {1}, generation {2}"},
    {K::kNormalFirmware, "vanlig fast programvara"},
    {K::kUpdateLoader, "uppdateringsladdare"},
    {K::kImageChipUnknown, "ingen fil med fast programvara: kretstypen är okänd"},
    {K::kImageMissing, "filen med fast programvara {0} saknas"},
    {K::kImageDamaged, "filen med fast programvara {0} är skadad: {1}"},
    {K::kImageNewer, "fil med fast programvara {0}, nyare: en uppdatering skulle köras"},
    {K::kImageNotNewer, "fil med fast programvara {0}, inte nyare: inget att uppdatera"},
    {K::kPathLine, "sökväg {0} (enhet {1}, enhetsnummer {2}, {3} byte)"},
    {K::kWaitErasing, "väntar på att bryggkretsen ska radera klart (omgång {0}): {1} s av {2} s"},
    {K::kWaitLoader,
     "väntar på att bryggkretsen kommer tillbaka i uppdateringsläge: {0} s av {1} s"},
    {K::kWaitNextTry, "väntar före nästa försök: {0} s av {1} s"},
    {K::kCauseNoDrive, "ingen enhet i den här familjen är ansluten"},
    {K::kCauseSeveral,
     "{0} enheter i den här familjen är anslutna; välj en med --device SERIAL, --device PORT eller --device NODE"},
    {K::kDriveLine, "serienummer {0}, port {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "enheten väntar i uppdateringsläge och ingen registrering av uppdateringen finns här; ange serienummer och modell för att slutföra den: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "En tidigare uppdatering av den här enheten avbröts; den här uppdateringen slutför den."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "En emulerad ZR-MOX3-enhet är ansluten (mapp {0}), firmware {1}; avbilden bredvid programmet innehåller {2}."},
    {K::kDemoAfter, "Enheten efter uppdateringen:"},
    {K::kDemoTook,
     "Demonstrationen tog {0} s verklig tid, med väntetiderna förkortade tjugo gånger; med en riktig enhets väntetider tar uppdateringen {1} s."},
    {K::kDemoRealistic,
     "På en riktig enhet tar den här uppdateringen {0} s: {1} s väntetid i körningen och {2} s USB-förfrågningar och flashprogrammering."},
};

constexpr Entry kArabic[] = {
    {K::kPhaseChecking, "جارٍ فحص القرص"},
    {K::kPhaseSwitching, "جارٍ تحويل شريحة الجسر إلى وضع التحديث"},
    {K::kPhaseWriting, "جارٍ الكتابة في ذاكرة الفلاش وقراءتها للتحقق"},
    {K::kPhaseWaiting, "جارٍ انتظار عودة القرص، ثم استعادة طول الكتلة"},
    {K::kPhaseDone, "تم"},
    {K::kProgressLine, "التقدم {0}%: {1}"},
    {K::kProgressBar, "{0} ث، عادةً نحو {1} ث: {2}"},
    {K::kAskStart, "هل تريد بدء التحديث؟"},
    {K::kAskWrite, "هل تريد كتابتها؟"},
    {K::kYesNo, "[نعم/لا]"},
    {K::kYesWords, "نعم"},
    {K::kNothingChanged, "لم يتم تغيير أي شيء."},
    {K::kSummary, "تم تحديث القرص ذي الرقم التسلسلي {0}: {1} -> {2} خلال {3} ث."},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "يتوفر تحديث."},
    {K::kCheckNothing, "لا يوجد ما يلزم تحديثه."},
    {K::kRecoverQuestion,
     "سيحصل القرص الموجود في وضع التحديث على الرقم التسلسلي \"{0}\" وعلى إعدادات {1}."},
    {K::kRecoveryRefused,
     "يذكر سجل التحديث المتقطع الرقم التسلسلي {0}؛ شغّل update دون --recover-serial "
     "و--model لإكماله"},
    {K::kAnotherRunning, "يوجد تحديث آخر قيد التشغيل (يحتجز {0})"},
    {K::kLeadError, "خطأ: {0}"},
    {K::kLeadCause, "السبب: {0}"},
    {K::kLeadNote, "ملاحظة: {0}"},
    {K::kUnopenedDisks, "عدد الأقراص التي تعذر فتحها: {0} ({1})"},
    {K::kCensusLine, "الإحصاء: {0} ({1})"},
    {K::kCensusNone, "لا يوجد قرص معروف متصل"},
    {K::kCensusOne, "قرص معروف واحد متصل"},
    {K::kCensusMany, "أكثر من قرص معروف متصل"},
    {K::kCensusNoUpdate, "قرص واحد متصل من طراز لا يحتاج إلى تحديث"},
    {K::kBridgeDrives, "أقراص بشريحة جسر: {0}"},
    {K::kSlotLine, "الموضع {0}: {1} \"{2}\" \"{3}\" الرقم التسلسلي \"{4}\""},
    {K::kFirmwareLine, "البرنامج الثابت {0}، {1}، الجيل {2}"},
    {K::kNormalFirmware, "البرنامج الثابت العادي"},
    {K::kUpdateLoader, "مُحمِّل التحديث"},
    {K::kImageChipUnknown, "لا يوجد ملف برنامج ثابت: نوع الشريحة غير معروف"},
    {K::kImageMissing, "ملف البرنامج الثابت {0} غير موجود"},
    {K::kImageDamaged, "ملف البرنامج الثابت {0} تالف: {1}"},
    {K::kImageNewer, "ملف البرنامج الثابت {0}، أحدث: سيتم إجراء التحديث"},
    {K::kImageNotNewer, "ملف البرنامج الثابت {0}، ليس أحدث: لا يوجد ما يلزم تحديثه"},
    {K::kPathLine, "المسار {0} (الوحدة {1}، الجهاز {2}، {3} بايت)"},
    {K::kWaitErasing, "جارٍ انتظار انتهاء شريحة الجسر من المسح (المرور {0}): {1} ث من {2} ث"},
    {K::kWaitLoader, "جارٍ انتظار عودة شريحة الجسر في وضع التحديث: {0} ث من {1} ث"},
    {K::kWaitNextTry, "جارٍ الانتظار قبل المحاولة التالية: {0} ث من {1} ث"},
    {K::kCauseNoDrive, "لا يوجد قرص من هذه العائلة متصل"},
    {K::kCauseSeveral,
     "يوجد {0} أقراص من هذه العائلة متصلة؛ حدّد واحدًا باستخدام --device SERIAL, --device PORT أو --device NODE"},
    {K::kDriveLine, "الرقم التسلسلي {0}، المنفذ {1}، {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "القرص ينتظر في وضع التحديث ولا يوجد هنا سجل لتحديثه؛ لإكماله، حدّد رقمه التسلسلي وطرازه: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "تمت مقاطعة تحديث سابق لهذا القرص؛ هذا التحديث يكمله."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "قرص ZR-MOX3 مُحاكى متصل (المجلد {0})، البرنامج الثابت {1}؛ الصورة بجانب البرنامج تحتوي على {2}."},
    {K::kDemoAfter, "القرص بعد التحديث:"},
    {K::kDemoTook,
     "استغرق العرض {0} ث من الوقت الفعلي، مع تقصير فترات الانتظار عشرين مرة؛ مع فترات انتظار قرص حقيقي يستغرق التحديث {1} ث."},
    {K::kDemoRealistic,
     "على قرص حقيقي يستغرق هذا التحديث {0} ث: {1} ث من فترات الانتظار و{2} ث من طلبات USB وبرمجة ذاكرة الفلاش."},
};

constexpr Entry kChineseTraditional[] = {
    {K::kPhaseChecking, "正在檢查磁碟機"},
    {K::kPhaseSwitching, "正在將橋接晶片切換至更新模式"},
    {K::kPhaseWriting, "正在寫入快閃記憶體並讀回驗證"},
    {K::kPhaseWaiting, "正在等待磁碟機重新連線，然後還原其區塊大小"},
    {K::kPhaseDone, "完成"},
    {K::kProgressLine, "進度 {0}%：{1}"},
    {K::kProgressBar, "{0} 秒，通常約 {1} 秒：{2}"},
    {K::kAskStart, "要開始更新嗎？"},
    {K::kAskWrite, "要寫入嗎？"},
    {K::kYesNo, "[是/否]"},
    {K::kYesWords, "是 是的"},
    {K::kNothingChanged, "未做任何變更。"},
    {K::kSummary, "已更新序號為 {0} 的磁碟機：{1} -> {2}，耗時 {3} 秒。"},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "有可用的更新。"},
    {K::kCheckNothing, "沒有需要更新的項目。"},
    {K::kRecoverQuestion, "處於更新模式的磁碟機將寫入序號「{0}」以及 {1} 的設定。"},
    {K::kRecoveryRefused,
     "中斷更新的紀錄記載序號為 {0}；若要完成更新，請執行 update 而不加 --recover-serial 與 "
     "--model"},
    {K::kAnotherRunning, "另一個更新正在執行（它佔用 {0}）"},
    {K::kLeadError, "錯誤：{0}"},
    {K::kLeadCause, "原因：{0}"},
    {K::kLeadNote, "注意：{0}"},
    {K::kUnopenedDisks, "有 {0} 個磁碟無法開啟：{1}"},
    {K::kCensusLine, "統計：{0}（{1}）"},
    {K::kCensusNone, "未連接任何已知的磁碟機"},
    {K::kCensusOne, "已連接一台已知的磁碟機"},
    {K::kCensusMany, "已連接多台已知的磁碟機"},
    {K::kCensusNoUpdate, "已連接一台其型號不需要更新的磁碟機"},
    {K::kBridgeDrives, "橋接磁碟機：{0} 台"},
    {K::kSlotLine, "位置 {0}：{1} \"{2}\" \"{3}\" 序號 \"{4}\""},
    {K::kFirmwareLine, "韌體 {0}，{1}，世代 {2}"},
    {K::kNormalFirmware, "一般韌體"},
    {K::kUpdateLoader, "更新載入程式"},
    {K::kImageChipUnknown, "沒有韌體檔案：晶片類型不明"},
    {K::kImageMissing, "韌體檔案 {0} 不存在"},
    {K::kImageDamaged, "韌體檔案 {0} 已損壞：{1}"},
    {K::kImageNewer, "韌體檔案 {0}，比磁碟機上的新：將會執行更新"},
    {K::kImageNotNewer, "韌體檔案 {0}，不比磁碟機上的新：不需要更新"},
    {K::kPathLine, "路徑 {0}（單元 {1}，裝置 {2}，{3} 位元組）"},
    {K::kWaitErasing, "正在等待橋接晶片完成抹除（第 {0} 輪）：{1} 秒／{2} 秒"},
    {K::kWaitLoader, "正在等待橋接晶片以更新模式重新連線：{0} 秒／{1} 秒"},
    {K::kWaitNextTry, "正在等待下一次嘗試：{0} 秒／{1} 秒"},
    {K::kCauseNoDrive, "未連接此系列的磁碟機"},
    {K::kCauseSeveral, "已連接 {0} 台此系列的磁碟機；請以 --device SERIAL, --device PORT 或 --device NODE 指定一台"},
    {K::kDriveLine, "序號 {0}，連接埠 {1}，{2}（{3}）"},
    {K::kCauseLoaderNoRecord,
     "磁碟機正在更新模式中等待，此處未保留其更新紀錄；若要完成更新，請提供序號與型號：update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "此磁碟機先前的更新曾中斷；本次更新會將其完成。"},
    {K::kCaptioned, "{0}：{1}"},
    {K::kDemoAttached, "已連接一台模擬的 ZR-MOX3 磁碟機（資料夾 {0}），韌體 {1}；程式旁的映像檔為 {2}。"},
    {K::kDemoAfter, "更新後的磁碟機："},
    {K::kDemoTook, "本示範實際耗時 {0} 秒，等待時間縮短為二十分之一；以真實磁碟機的等待時間計算，更新需時 {1} 秒。"},
    {K::kDemoRealistic, "在真實磁碟機上此更新需時 {0} 秒：其中 {1} 秒為流程的等待，{2} 秒為 USB 要求與快閃記憶體燒錄。"},
};

constexpr Entry kDanish[] = {
    {K::kPhaseChecking, "kontrollerer drevet"},
    {K::kPhaseSwitching, "skifter brokredsen til opdateringstilstand"},
    {K::kPhaseWriting, "skriver flashhukommelsen og læser den tilbage"},
    {K::kPhaseWaiting,
     "venter på, at drevet vender tilbage, og gendanner derefter dets blokstørrelse"},
    {K::kPhaseDone, "færdig"},
    {K::kProgressLine, "status {0} %: {1}"},
    {K::kProgressBar, "{0} s, normalt omkring {1} s: {2}"},
    {K::kAskStart, "Start opdateringen?"},
    {K::kAskWrite, "Skriv dem?"},
    {K::kYesNo, "[j/N]"},
    {K::kYesWords, "j ja"},
    {K::kNothingChanged, "Intet er ændret."},
    {K::kSummary, "Drevet med serienummer {0} er opdateret: {1} -> {2} på {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "En opdatering er tilgængelig."},
    {K::kCheckNothing, "Intet at opdatere."},
    {K::kRecoverQuestion,
     "Drevet i opdateringstilstand får serienummeret \"{0}\" og konfigurationen for {1}."},
    {K::kRecoveryRefused,
     "oplysningerne om den afbrudte opdatering angiver serienummer {0}; kør update uden "
     "--recover-serial og --model for at fuldføre den"},
    {K::kAnotherRunning, "en anden opdatering kører (den holder {0})"},
    {K::kLeadError, "fejl: {0}"},
    {K::kLeadCause, "årsag: {0}"},
    {K::kLeadNote, "bemærk: {0}"},
    {K::kUnopenedDisks, "antal diske, der ikke kunne åbnes: {0} ({1})"},
    {K::kCensusLine, "optælling: {0} ({1})"},
    {K::kCensusNone, "intet kendt drev tilsluttet"},
    {K::kCensusOne, "ét kendt drev tilsluttet"},
    {K::kCensusMany, "mere end ét kendt drev tilsluttet"},
    {K::kCensusNoUpdate, "ét drev tilsluttet af en model, der ikke behøver opdatering"},
    {K::kBridgeDrives, "drev med brokreds: {0}"},
    {K::kSlotLine, "plads {0}: {1} \"{2}\" \"{3}\" serienummer \"{4}\""},
    {K::kFirmwareLine, "firmware {0}, {1}, generation {2}"},
    {K::kNormalFirmware, "normal firmware"},
    {K::kUpdateLoader, "opdateringsindlæser"},
    {K::kImageChipUnknown, "ingen firmwarefil: kredstypen er ukendt"},
    {K::kImageMissing, "firmwarefilen {0} findes ikke"},
    {K::kImageDamaged, "firmwarefilen {0} er beskadiget: {1}"},
    {K::kImageNewer, "firmwarefil {0}, nyere: en opdatering ville blive udført"},
    {K::kImageNotNewer, "firmwarefil {0}, ikke nyere: intet at opdatere"},
    {K::kPathLine, "sti {0} (enhed {1}, enhedsnummer {2}, {3} byte)"},
    {K::kWaitErasing,
     "venter på at brokredsen bliver færdig med at slette (runde {0}): {1} s af {2} s"},
    {K::kWaitLoader,
     "venter på at brokredsen kommer tilbage i opdateringstilstand: {0} s af {1} s"},
    {K::kWaitNextTry, "venter før næste forsøg: {0} s af {1} s"},
    {K::kCauseNoDrive, "intet drev fra denne familie er tilsluttet"},
    {K::kCauseSeveral,
     "{0} drev fra denne familie er tilsluttet; vælg ét med --device SERIAL, --device PORT eller --device NODE"},
    {K::kDriveLine, "serienummer {0}, port {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "drevet venter i opdateringstilstand, og der gemmes ingen registrering af opdateringen her; angiv serienummer og model for at fuldføre: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "En tidligere opdatering af dette drev blev afbrudt; denne opdatering fuldfører den."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Et emuleret ZR-MOX3-drev er tilsluttet (mappe {0}), firmware {1}; billedet ved siden af programmet indeholder {2}."},
    {K::kDemoAfter, "Drevet efter opdateringen:"},
    {K::kDemoTook,
     "Demonstrationen tog {0} s reel tid, med ventetiderne forkortet tyve gange; med et rigtigt drevs ventetider tager opdateringen {1} s."},
    {K::kDemoRealistic,
     "På et rigtigt drev tager denne opdatering {0} s: {1} s ventetid i kørslen og {2} s USB-forespørgsler og flashprogrammering."},
};

constexpr Entry kFinnish[] = {
    {K::kPhaseChecking, "tarkistetaan asemaa"},
    {K::kPhaseSwitching, "siltapiiri vaihdetaan päivitystilaan"},
    {K::kPhaseWriting, "flash-muistiin kirjoitetaan ja se luetaan takaisin"},
    {K::kPhaseWaiting, "odotetaan aseman paluuta, sitten palautetaan sen lohkokoko"},
    {K::kPhaseDone, "valmis"},
    {K::kProgressLine, "edistyminen {0} %: {1}"},
    {K::kProgressBar, "{0} s, yleensä noin {1} s: {2}"},
    {K::kAskStart, "Aloitetaanko päivitys?"},
    {K::kAskWrite, "Kirjoitetaanko ne?"},
    {K::kYesNo, "[k/E]"},
    {K::kYesWords, "k kyllä kylla"},
    {K::kNothingChanged, "Mitään ei muutettu."},
    {K::kSummary, "Asema, jonka sarjanumero on {0}, päivitettiin: {1} -> {2}, aikaa kului {3} s."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Päivitys on saatavilla."},
    {K::kCheckNothing, "Ei päivitettävää."},
    {K::kRecoverQuestion,
     "Päivitystilassa olevalle asemalle kirjoitetaan sarjanumero \"{0}\" ja mallin {1} "
     "asetukset."},
    {K::kRecoveryRefused,
     "keskeytyneen päivityksen tiedoissa on sarjanumero {0}; viimeistele päivitys suorittamalla "
     "update ilman valitsimia --recover-serial ja --model"},
    {K::kAnotherRunning, "toinen päivitys on käynnissä (se varaa kohteen {0})"},
    {K::kLeadError, "virhe: {0}"},
    {K::kLeadCause, "syy: {0}"},
    {K::kLeadNote, "huomautus: {0}"},
    {K::kUnopenedDisks, "levyjä, joita ei voitu avata: {0} ({1})"},
    {K::kCensusLine, "laskenta: {0} ({1})"},
    {K::kCensusNone, "tunnettua asemaa ei ole liitetty"},
    {K::kCensusOne, "yksi tunnettu asema on liitetty"},
    {K::kCensusMany, "useampi kuin yksi tunnettu asema on liitetty"},
    {K::kCensusNoUpdate, "liitetty on yksi asema, jonka malli ei tarvitse päivitystä"},
    {K::kBridgeDrives, "siltapiirillisiä asemia: {0}"},
    {K::kSlotLine, "paikka {0}: {1} \"{2}\" \"{3}\" sarjanumero \"{4}\""},
    {K::kFirmwareLine, "laiteohjelmisto {0}, {1}, sukupolvi {2}"},
    {K::kNormalFirmware, "tavallinen laiteohjelmisto"},
    {K::kUpdateLoader, "päivityslatain"},
    {K::kImageChipUnknown, "ei laiteohjelmistotiedostoa: piirityyppi on tuntematon"},
    {K::kImageMissing, "laiteohjelmistotiedostoa {0} ei ole"},
    {K::kImageDamaged, "laiteohjelmistotiedosto {0} on vaurioitunut: {1}"},
    {K::kImageNewer, "laiteohjelmistotiedosto {0}, uudempi: päivitys suoritettaisiin"},
    {K::kImageNotNewer, "laiteohjelmistotiedosto {0}, ei uudempi: ei päivitettävää"},
    {K::kPathLine, "polku {0} (yksikkö {1}, laite {2}, {3} tavua)"},
    {K::kWaitErasing,
     "odotetaan, että siltapiiri saa tyhjennyksen valmiiksi (kierros {0}): {1} s / {2} s"},
    {K::kWaitLoader, "odotetaan siltapiirin paluuta päivitystilassa: {0} s / {1} s"},
    {K::kWaitNextTry, "odotetaan ennen seuraavaa yritystä: {0} s / {1} s"},
    {K::kCauseNoDrive, "tämän perheen asemaa ei ole liitetty"},
    {K::kCauseSeveral,
     "tämän perheen asemia on liitetty {0}; valitse yksi valitsimella --device SERIAL, --device PORT tai --device NODE"},
    {K::kDriveLine, "sarjanumero {0}, portti {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "asema odottaa päivitystilassa, eikä sen päivityksestä ole tallennetta täällä; viimeistele se antamalla sarjanumero ja malli: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "Aseman aiempi päivitys keskeytyi; tämä päivitys viimeistelee sen."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Emuloitu ZR-MOX3-asema on liitetty (kansio {0}), laiteohjelmisto {1}; ohjelman vieressä oleva kuva sisältää version {2}."},
    {K::kDemoAfter, "Asema päivityksen jälkeen:"},
    {K::kDemoTook,
     "Esittely kesti {0} s todellista aikaa, odotukset lyhennettyinä kahdeskymmenesosaan; oikean aseman odotuksilla päivitys kestää {1} s."},
    {K::kDemoRealistic,
     "Oikealla asemalla tämä päivitys kestää {0} s: {1} s ajon odotuksia ja {2} s USB-pyyntöjä ja flash-ohjelmointia."},
};

constexpr Entry kJapanese[] = {
    {K::kPhaseChecking, "ドライブを確認しています"},
    {K::kPhaseSwitching, "ブリッジチップをアップデートモードに切り替えています"},
    {K::kPhaseWriting, "フラッシュメモリに書き込み、読み返して確認しています"},
    {K::kPhaseWaiting, "ドライブの再接続を待ってから、ブロック長を元に戻しています"},
    {K::kPhaseDone, "完了"},
    {K::kProgressLine, "進行状況 {0}%: {1}"},
    {K::kProgressBar, "{0} 秒 (通常は約 {1} 秒): {2}"},
    {K::kAskStart, "アップデートを開始しますか?"},
    {K::kAskWrite, "書き込みますか?"},
    {K::kYesNo, "[はい/いいえ]"},
    {K::kYesWords, "はい ハイ"},
    {K::kNothingChanged, "何も変更されていません。"},
    {K::kSummary, "シリアル番号 {0} のドライブをアップデートしました: {1} -> {2} ({3} 秒)。"},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "アップデートがあります。"},
    {K::kCheckNothing, "アップデートの必要はありません。"},
    {K::kRecoverQuestion,
     "アップデートモードのドライブに、シリアル番号「{0}」と {1} の設定を書き込みます。"},
    {K::kRecoveryRefused,
     "中断されたアップデートの記録にはシリアル番号 {0} が記載されています。完了するには "
     "--recover-serial と --model を付けずに update を実行してください"},
    {K::kAnotherRunning, "別のアップデートが実行中です ({0} を使用中)"},
    {K::kLeadError, "エラー: {0}"},
    {K::kLeadCause, "原因: {0}"},
    {K::kLeadNote, "注意: {0}"},
    {K::kUnopenedDisks, "{0} 台のディスクを開けませんでした: {1}"},
    {K::kCensusLine, "集計: {0} ({1})"},
    {K::kCensusNone, "既知のドライブは接続されていません"},
    {K::kCensusOne, "既知のドライブが 1 台接続されています"},
    {K::kCensusMany, "既知のドライブが複数台接続されています"},
    {K::kCensusNoUpdate, "アップデートの必要がない機種のドライブが 1 台接続されています"},
    {K::kBridgeDrives, "ブリッジ ドライブ: {0} 台"},
    {K::kSlotLine, "スロット {0}: {1} \"{2}\" \"{3}\" シリアル番号 \"{4}\""},
    {K::kFirmwareLine, "ファームウェア {0}、{1}、世代 {2}"},
    {K::kNormalFirmware, "通常のファームウェア"},
    {K::kUpdateLoader, "アップデートローダー"},
    {K::kImageChipUnknown, "ファームウェアファイルなし: チップ種別が不明です"},
    {K::kImageMissing, "ファームウェアファイル {0} がありません"},
    {K::kImageDamaged, "ファームウェアファイル {0} が壊れています: {1}"},
    {K::kImageNewer, "ファームウェアファイル {0}、ドライブより新しい: アップデートが実行されます"},
    {K::kImageNotNewer, "ファームウェアファイル {0}、ドライブより新しくない: アップデートの必要はありません"},
    {K::kPathLine, "パス {0} (ユニット {1}、デバイス {2}、{3} バイト)"},
    {K::kWaitErasing, "ブリッジチップの消去完了を待っています（{0} 回目）: {1} 秒 / {2} 秒"},
    {K::kWaitLoader, "ブリッジチップがアップデートモードで戻るのを待っています: {0} 秒 / {1} 秒"},
    {K::kWaitNextTry, "次の試行まで待っています: {0} 秒 / {1} 秒"},
    {K::kCauseNoDrive, "このファミリーのドライブが接続されていません"},
    {K::kCauseSeveral,
     "このファミリーのドライブが {0} 台接続されています。--device SERIAL, --device PORT または --device NODE で 1 台を指定してください"},
    {K::kDriveLine, "シリアル番号 {0}、ポート {1}、{2}（{3}）"},
    {K::kCauseLoaderNoRecord,
     "ドライブはアップデートモードで待機していますが、ここにはその更新の記録がありません。完了するにはシリアル番号とモデルを指定してください: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "このドライブの以前の更新は中断されました。今回の更新で完了します。"},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "エミュレートされた ZR-MOX3 ドライブが接続されています（フォルダー {0}）、ファームウェア {1}。プログラムの横のイメージは {2} です。"},
    {K::kDemoAfter, "更新後のドライブ:"},
    {K::kDemoTook, "デモの実時間は {0} 秒でした（待ち時間は 20 分の 1 に短縮）。実際のドライブの待ち時間では、更新に {1} 秒かかります。"},
    {K::kDemoRealistic, "実際のドライブではこの更新に {0} 秒かかります（処理の待ち時間 {1} 秒、USB 要求とフラッシュ書き込み {2} 秒）。"},
};

constexpr Entry kKorean[] = {
    {K::kPhaseChecking, "드라이브 확인 중"},
    {K::kPhaseSwitching, "브리지 칩을 업데이트 모드로 전환하는 중"},
    {K::kPhaseWriting, "플래시 메모리에 쓰고 다시 읽어 확인하는 중"},
    {K::kPhaseWaiting, "드라이브가 다시 연결되기를 기다린 후 블록 크기를 복원하는 중"},
    {K::kPhaseDone, "완료"},
    {K::kProgressLine, "진행률 {0}%: {1}"},
    {K::kProgressBar, "{0}초, 보통 약 {1}초: {2}"},
    {K::kAskStart, "업데이트를 시작하시겠습니까?"},
    {K::kAskWrite, "기록하시겠습니까?"},
    {K::kYesNo, "[예/아니요]"},
    {K::kYesWords, "예 네"},
    {K::kNothingChanged, "아무것도 변경되지 않았습니다."},
    {K::kSummary, "일련 번호가 {0}인 드라이브를 업데이트했습니다: {1} -> {2}, {3}초 소요."},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "사용 가능한 업데이트가 있습니다."},
    {K::kCheckNothing, "업데이트할 항목이 없습니다."},
    {K::kRecoverQuestion,
     "업데이트 모드의 드라이브에 일련 번호 \"{0}\"와 {1}의 구성을 기록합니다."},
    {K::kRecoveryRefused,
     "중단된 업데이트의 기록에 일련 번호 {0}이(가) 있습니다. 완료하려면 --recover-serial "
     "및 --model 없이 update를 실행하십시오"},
    {K::kAnotherRunning, "다른 업데이트가 실행 중입니다({0} 사용 중)"},
    {K::kLeadError, "오류: {0}"},
    {K::kLeadCause, "원인: {0}"},
    {K::kLeadNote, "참고: {0}"},
    {K::kUnopenedDisks, "디스크 {0}개를 열 수 없습니다: {1}"},
    {K::kCensusLine, "집계: {0} ({1})"},
    {K::kCensusNone, "연결된 알려진 드라이브 없음"},
    {K::kCensusOne, "알려진 드라이브 1개 연결됨"},
    {K::kCensusMany, "알려진 드라이브 2개 이상 연결됨"},
    {K::kCensusNoUpdate, "업데이트가 필요 없는 모델의 드라이브 1개 연결됨"},
    {K::kBridgeDrives, "브리지 드라이브: {0}개"},
    {K::kSlotLine, "슬롯 {0}: {1} \"{2}\" \"{3}\" 일련 번호 \"{4}\""},
    {K::kFirmwareLine, "펌웨어 {0}, {1}, 세대 {2}"},
    {K::kNormalFirmware, "일반 펌웨어"},
    {K::kUpdateLoader, "업데이트 로더"},
    {K::kImageChipUnknown, "펌웨어 파일 없음: 칩 종류를 알 수 없습니다"},
    {K::kImageMissing, "펌웨어 파일 {0}이(가) 없습니다"},
    {K::kImageDamaged, "펌웨어 파일 {0}이(가) 손상되었습니다: {1}"},
    {K::kImageNewer, "펌웨어 파일 {0}, 드라이브보다 최신: 업데이트가 실행됩니다"},
    {K::kImageNotNewer, "펌웨어 파일 {0}, 드라이브보다 최신 아님: 업데이트할 항목이 없습니다"},
    {K::kPathLine, "경로 {0} (유닛 {1}, 장치 {2}, {3}바이트)"},
    {K::kWaitErasing, "브리지 칩의 지우기가 끝나기를 기다리는 중 ({0}회차): {1}초 / {2}초"},
    {K::kWaitLoader, "브리지 칩이 업데이트 모드로 돌아오기를 기다리는 중: {0}초 / {1}초"},
    {K::kWaitNextTry, "다음 시도 전에 기다리는 중: {0}초 / {1}초"},
    {K::kCauseNoDrive, "이 제품군의 드라이브가 연결되어 있지 않습니다"},
    {K::kCauseSeveral,
     "이 제품군의 드라이브 {0}대가 연결되어 있습니다. --device SERIAL, --device PORT 또는 --device NODE(으)로 하나를 지정하십시오"},
    {K::kDriveLine, "일련 번호 {0}, 포트 {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "드라이브가 업데이트 모드에서 대기 중이지만 여기에는 업데이트 기록이 없습니다. 완료하려면 일련 번호와 모델을 지정하십시오: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "이 드라이브의 이전 업데이트가 중단되었습니다. 이번 업데이트로 완료합니다."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached, "에뮬레이트된 ZR-MOX3 드라이브가 연결되어 있습니다(폴더 {0}), 펌웨어 {1}. 프로그램 옆의 이미지는 {2}입니다."},
    {K::kDemoAfter, "업데이트 후의 드라이브:"},
    {K::kDemoTook,
     "시연은 실제 시간으로 {0}초 걸렸습니다(대기 시간은 20분의 1로 단축). 실제 드라이브의 대기 시간으로는 업데이트에 {1}초가 걸립니다."},
    {K::kDemoRealistic, "실제 드라이브에서 이 업데이트는 {0}초가 걸립니다. 실행 대기 시간 {1}초, USB 요청 및 플래시 프로그래밍 {2}초입니다."},
};

constexpr Entry kRussian[] = {
    {K::kPhaseChecking, "проверка диска"},
    {K::kPhaseSwitching, "перевод моста в режим обновления"},
    {K::kPhaseWriting, "запись флеш-памяти и контрольное чтение"},
    {K::kPhaseWaiting, "ожидание возвращения диска, затем восстановление размера блока"},
    {K::kPhaseDone, "готово"},
    {K::kProgressLine, "выполнено {0} %: {1}"},
    {K::kProgressBar, "{0} с, обычно около {1} с: {2}"},
    {K::kAskStart, "Начать обновление?"},
    {K::kAskWrite, "Записать?"},
    {K::kYesNo, "[д/Н]"},
    {K::kYesWords, "д да"},
    {K::kNothingChanged, "Ничего не изменено."},
    {K::kSummary, "Диск с серийным номером {0} обновлён: {1} -> {2} за {3} с."},
    {K::kDecimalPoint, ","},
    {K::kCheckAvailable, "Доступно обновление."},
    {K::kCheckNothing, "Обновлять нечего."},
    {K::kRecoverQuestion,
     "Диск в режиме обновления получит серийный номер «{0}» и конфигурацию {1}."},
    {K::kRecoveryRefused,
     "в записи о прерванном обновлении указан серийный номер {0}; чтобы завершить его, "
     "запустите update без --recover-serial и --model"},
    {K::kAnotherRunning, "выполняется другое обновление (оно удерживает {0})"},
    {K::kLeadError, "ошибка: {0}"},
    {K::kLeadCause, "причина: {0}"},
    {K::kLeadNote, "примечание: {0}"},
    {K::kUnopenedDisks, "не удалось открыть дисков: {0} ({1})"},
    {K::kCensusLine, "подсчёт: {0} ({1})"},
    {K::kCensusNone, "известные диски не подключены"},
    {K::kCensusOne, "подключён один известный диск"},
    {K::kCensusMany, "подключено более одного известного диска"},
    {K::kCensusNoUpdate, "подключён один диск модели, не требующей обновления"},
    {K::kBridgeDrives, "дисков с мостом: {0}"},
    {K::kSlotLine, "позиция {0}: {1} \"{2}\" \"{3}\" серийный номер \"{4}\""},
    {K::kFirmwareLine, "микропрограмма {0}, {1}, поколение {2}"},
    {K::kNormalFirmware, "обычная микропрограмма"},
    {K::kUpdateLoader, "загрузчик обновления"},
    {K::kImageChipUnknown, "нет файла микропрограммы: тип микросхемы неизвестен"},
    {K::kImageMissing, "файл микропрограммы {0} отсутствует"},
    {K::kImageDamaged, "файл микропрограммы {0} повреждён: {1}"},
    {K::kImageNewer, "файл микропрограммы {0} новее установленной: обновление будет выполнено"},
    {K::kImageNotNewer, "файл микропрограммы {0} не новее установленной: обновлять нечего"},
    {K::kPathLine, "путь {0} (LUN {1}, устройство {2}, {3} байт)"},
    {K::kWaitErasing, "ожидание окончания стирания мостом (проход {0}): {1} с из {2} с"},
    {K::kWaitLoader, "ожидание возвращения моста в режиме обновления: {0} с из {1} с"},
    {K::kWaitNextTry, "ожидание перед следующей попыткой: {0} с из {1} с"},
    {K::kCauseNoDrive, "не подключено ни одного диска этого семейства"},
    {K::kCauseSeveral,
     "подключено дисков этого семейства: {0}; укажите один с помощью --device SERIAL, --device PORT или --device NODE"},
    {K::kDriveLine, "серийный номер {0}, порт {1}, {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "диск ждёт в режиме обновления, а записи о его обновлении здесь нет; чтобы завершить его, укажите серийный номер и модель: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "Предыдущее обновление этого диска было прервано; это обновление завершит его."},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "Подключён эмулируемый диск ZR-MOX3 (папка {0}), микропрограмма {1}; образ рядом с программой содержит {2}."},
    {K::kDemoAfter, "Диск после обновления:"},
    {K::kDemoTook,
     "Демонстрация заняла {0} с реального времени, ожидания сокращены в двадцать раз; с ожиданиями настоящего диска обновление занимает {1} с."},
    {K::kDemoRealistic,
     "На настоящем диске это обновление занимает {0} с: {1} с ожиданий самого процесса и {2} с USB-запросов и программирования флеш-памяти."},
};

constexpr Entry kThai[] = {
    {K::kPhaseChecking, "กำลังตรวจสอบไดรฟ์"},
    {K::kPhaseSwitching, "กำลังสลับชิปบริดจ์เข้าสู่โหมดอัปเดต"},
    {K::kPhaseWriting, "กำลังเขียนหน่วยความจำแฟลชและอ่านกลับเพื่อตรวจสอบ"},
    {K::kPhaseWaiting, "กำลังรอให้ไดรฟ์กลับมา แล้วคืนค่าขนาดบล็อก"},
    {K::kPhaseDone, "เสร็จสิ้น"},
    {K::kProgressLine, "ความคืบหน้า {0}%: {1}"},
    {K::kProgressBar, "{0} วินาที โดยปกติประมาณ {1} วินาที: {2}"},
    {K::kAskStart, "เริ่มการอัปเดตหรือไม่"},
    {K::kAskWrite, "เขียนข้อมูลเหล่านี้หรือไม่"},
    {K::kYesNo, "[ใช่/ไม่]"},
    {K::kYesWords, "ใช่"},
    {K::kNothingChanged, "ไม่มีการเปลี่ยนแปลงใด ๆ"},
    {K::kSummary, "อัปเดตไดรฟ์หมายเลขซีเรียล {0} แล้ว: {1} -> {2} ใช้เวลา {3} วินาที"},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "มีการอัปเดตพร้อมใช้งาน"},
    {K::kCheckNothing, "ไม่มีสิ่งที่ต้องอัปเดต"},
    {K::kRecoverQuestion,
     "ไดรฟ์ในโหมดอัปเดตจะได้รับหมายเลขซีเรียล \"{0}\" และการกำหนดค่าของ {1}"},
    {K::kRecoveryRefused,
     "บันทึกการอัปเดตที่ถูกขัดจังหวะระบุหมายเลขซีเรียล {0} โปรดเรียกใช้ update โดยไม่ใส่ "
     "--recover-serial และ --model เพื่อดำเนินการให้เสร็จ"},
    {K::kAnotherRunning, "มีการอัปเดตอื่นกำลังทำงานอยู่ (ครอบครอง {0})"},
    {K::kLeadError, "ข้อผิดพลาด: {0}"},
    {K::kLeadCause, "สาเหตุ: {0}"},
    {K::kLeadNote, "หมายเหตุ: {0}"},
    {K::kUnopenedDisks, "เปิดดิสก์ไม่ได้ {0} ลูก: {1}"},
    {K::kCensusLine, "การนับ: {0} ({1})"},
    {K::kCensusNone, "ไม่มีไดรฟ์ที่รู้จักเชื่อมต่ออยู่"},
    {K::kCensusOne, "มีไดรฟ์ที่รู้จักเชื่อมต่ออยู่หนึ่งตัว"},
    {K::kCensusMany, "มีไดรฟ์ที่รู้จักเชื่อมต่ออยู่มากกว่าหนึ่งตัว"},
    {K::kCensusNoUpdate, "มีไดรฟ์รุ่นที่ไม่ต้องอัปเดตเชื่อมต่ออยู่หนึ่งตัว"},
    {K::kBridgeDrives, "ไดรฟ์ที่มีชิปบริดจ์: {0} ตัว"},
    {K::kSlotLine, "ช่อง {0}: {1} \"{2}\" \"{3}\" หมายเลขซีเรียล \"{4}\""},
    {K::kFirmwareLine, "เฟิร์มแวร์ {0}, {1}, รุ่น {2}"},
    {K::kNormalFirmware, "เฟิร์มแวร์ปกติ"},
    {K::kUpdateLoader, "ตัวโหลดสำหรับอัปเดต"},
    {K::kImageChipUnknown, "ไม่มีไฟล์เฟิร์มแวร์: ไม่ทราบชนิดชิป"},
    {K::kImageMissing, "ไม่พบไฟล์เฟิร์มแวร์ {0}"},
    {K::kImageDamaged, "ไฟล์เฟิร์มแวร์ {0} เสียหาย: {1}"},
    {K::kImageNewer, "ไฟล์เฟิร์มแวร์ {0} ใหม่กว่า: จะมีการอัปเดต"},
    {K::kImageNotNewer, "ไฟล์เฟิร์มแวร์ {0} ไม่ใหม่กว่า: ไม่มีสิ่งที่ต้องอัปเดต"},
    {K::kPathLine, "เส้นทาง {0} (หน่วย {1}, อุปกรณ์ {2}, {3} ไบต์)"},
    {K::kWaitErasing, "กำลังรอให้ชิปบริดจ์ลบข้อมูลเสร็จ (รอบที่ {0}): {1} วินาที จาก {2} วินาที"},
    {K::kWaitLoader, "กำลังรอให้ชิปบริดจ์กลับมาในโหมดอัปเดต: {0} วินาที จาก {1} วินาที"},
    {K::kWaitNextTry, "กำลังรอก่อนลองครั้งถัดไป: {0} วินาที จาก {1} วินาที"},
    {K::kCauseNoDrive, "ไม่มีไดรฟ์ในตระกูลนี้เชื่อมต่ออยู่"},
    {K::kCauseSeveral,
     "มีไดรฟ์ในตระกูลนี้เชื่อมต่ออยู่ {0} ตัว ระบุหนึ่งตัวด้วย --device SERIAL, --device PORT หรือ --device NODE"},
    {K::kDriveLine, "หมายเลขซีเรียล {0} พอร์ต {1} {2} ({3})"},
    {K::kCauseLoaderNoRecord,
     "ไดรฟ์รออยู่ในโหมดอัปเดตและไม่มีบันทึกการอัปเดตเก็บไว้ที่นี่ หากต้องการทำให้เสร็จ ให้ระบุหมายเลขซีเรียลและรุ่น: update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound,
     "การอัปเดตครั้งก่อนของไดรฟ์นี้ถูกขัดจังหวะ การอัปเดตครั้งนี้จะทำให้เสร็จสมบูรณ์"},
    {K::kCaptioned, "{0}: {1}"},
    {K::kDemoAttached,
     "มีไดรฟ์ ZR-MOX3 จำลองเชื่อมต่ออยู่ (โฟลเดอร์ {0}) เฟิร์มแวร์ {1} อิมเมจข้างโปรแกรมมี {2}"},
    {K::kDemoAfter, "ไดรฟ์หลังการอัปเดต:"},
    {K::kDemoTook,
     "การสาธิตใช้เวลาจริง {0} วินาที โดยย่อเวลารอลงยี่สิบเท่า หากใช้เวลารอของไดรฟ์จริง การอัปเดตจะใช้เวลา {1} วินาที"},
    {K::kDemoRealistic,
     "บนไดรฟ์จริง การอัปเดตนี้ใช้เวลา {0} วินาที: เวลารอของขั้นตอน {1} วินาที และคำขอ USB กับการเขียนแฟลช {2} วินาที"},
};

constexpr Entry kChineseSimplified[] = {
    {K::kPhaseChecking, "正在检查驱动器"},
    {K::kPhaseSwitching, "正在将桥接芯片切换到更新模式"},
    {K::kPhaseWriting, "正在写入闪存并回读校验"},
    {K::kPhaseWaiting, "正在等待驱动器重新连接，然后恢复其块大小"},
    {K::kPhaseDone, "完成"},
    {K::kProgressLine, "进度 {0}%：{1}"},
    {K::kProgressBar, "{0} 秒，通常约 {1} 秒：{2}"},
    {K::kAskStart, "要开始更新吗？"},
    {K::kAskWrite, "要写入吗？"},
    {K::kYesNo, "[是/否]"},
    {K::kYesWords, "是 是的"},
    {K::kNothingChanged, "未做任何更改。"},
    {K::kSummary, "已更新序列号为 {0} 的驱动器：{1} -> {2}，用时 {3} 秒。"},
    {K::kDecimalPoint, "."},
    {K::kCheckAvailable, "有可用的更新。"},
    {K::kCheckNothing, "没有需要更新的内容。"},
    {K::kRecoverQuestion, "处于更新模式的驱动器将写入序列号“{0}”以及 {1} 的配置。"},
    {K::kRecoveryRefused,
     "中断更新的记录中写明序列号为 {0}；要完成更新，请运行 update 且不带 --recover-serial 和 "
     "--model"},
    {K::kAnotherRunning, "另一个更新正在运行（它占用 {0}）"},
    {K::kLeadError, "错误：{0}"},
    {K::kLeadCause, "原因：{0}"},
    {K::kLeadNote, "注意：{0}"},
    {K::kUnopenedDisks, "有 {0} 个磁盘无法打开：{1}"},
    {K::kCensusLine, "统计：{0}（{1}）"},
    {K::kCensusNone, "未连接任何已知的驱动器"},
    {K::kCensusOne, "已连接一个已知的驱动器"},
    {K::kCensusMany, "已连接多个已知的驱动器"},
    {K::kCensusNoUpdate, "已连接一个其型号无需更新的驱动器"},
    {K::kBridgeDrives, "桥接驱动器：{0} 个"},
    {K::kSlotLine, "位置 {0}：{1} \"{2}\" \"{3}\" 序列号 \"{4}\""},
    {K::kFirmwareLine, "固件 {0}，{1}，世代 {2}"},
    {K::kNormalFirmware, "普通固件"},
    {K::kUpdateLoader, "更新加载程序"},
    {K::kImageChipUnknown, "没有固件文件：芯片类型未知"},
    {K::kImageMissing, "固件文件 {0} 不存在"},
    {K::kImageDamaged, "固件文件 {0} 已损坏：{1}"},
    {K::kImageNewer, "固件文件 {0}，比驱动器上的新：将执行更新"},
    {K::kImageNotNewer, "固件文件 {0}，不比驱动器上的新：无需更新"},
    {K::kPathLine, "路径 {0}（单元 {1}，设备 {2}，{3} 字节）"},
    {K::kWaitErasing, "正在等待桥接芯片完成擦除（第 {0} 轮）：{1} 秒／{2} 秒"},
    {K::kWaitLoader, "正在等待桥接芯片以更新模式重新连接：{0} 秒／{1} 秒"},
    {K::kWaitNextTry, "正在等待下一次尝试：{0} 秒／{1} 秒"},
    {K::kCauseNoDrive, "未连接此系列的驱动器"},
    {K::kCauseSeveral, "已连接 {0} 台此系列的驱动器；请用 --device SERIAL, --device PORT 或 --device NODE 指定一台"},
    {K::kDriveLine, "序列号 {0}，端口 {1}，{2}（{3}）"},
    {K::kCauseLoaderNoRecord,
     "驱动器正在更新模式中等待，此处未保存其更新记录；要完成更新，请提供序列号和型号：update --recover-serial SERIAL --model PID[:NAME]"},
    {K::kUnfinishedFound, "此驱动器之前的更新曾中断；本次更新会将其完成。"},
    {K::kCaptioned, "{0}：{1}"},
    {K::kDemoAttached, "已连接一台模拟的 ZR-MOX3 驱动器（文件夹 {0}），固件 {1}；程序旁的映像文件为 {2}。"},
    {K::kDemoAfter, "更新后的驱动器："},
    {K::kDemoTook, "本演示实际耗时 {0} 秒，等待时间缩短为二十分之一；按真实驱动器的等待时间计算，更新需要 {1} 秒。"},
    {K::kDemoRealistic, "在真实驱动器上此更新需要 {0} 秒：其中 {1} 秒为流程的等待，{2} 秒为 USB 请求和闪存编程。"},
};

// The English of the United States is the neutral English.
constexpr Catalogue kCatalogues[] = {
    {0x0001, kEnglish},     {0x0007, kGerman},  {0x000A, kSpanish},
    {0x000C, kFrench},      {0x0010, kItalian}, {0x0013, kDutch},
    {0x0014, kNorwegian},   {0x0016, kPortuguese}, {0x001D, kSwedish},
    {0x0401, kArabic},      {0x0404, kChineseTraditional}, {0x0406, kDanish},
    {0x0409, kEnglish},     {0x040B, kFinnish}, {0x0411, kJapanese},
    {0x0412, kKorean},      {0x0419, kRussian}, {0x041E, kThai},
    {0x0804, kChineseSimplified},
};

constexpr LanguageId kCatalogueLanguages[] = {0x0001, 0x0007, 0x000A, 0x000C, 0x0010,
                                              0x0013, 0x0014, 0x0016, 0x001D, 0x0401,
                                              0x0404, 0x0406, 0x0409, 0x040B, 0x0411,
                                              0x0412, 0x0419, 0x041E, 0x0804};

const char* Find(std::span<const Entry> entries, CliText key) {
    for (const Entry& entry : entries) {
        if (entry.key == key) return entry.text;
    }
    return nullptr;
}

std::span<const Entry> EntriesOf(LanguageId lang) {
    for (const Catalogue& catalogue : kCatalogues) {
        if (catalogue.lang == lang) return catalogue.entries;
    }
    return {};
}

// One character of UTF-8 text, or U+FFFD for a broken sequence; advances `i`.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) return lead;
    std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || lead > 0xF4) return 0xFFFD;
    char32_t cp = lead & (0x3Fu >> extra);
    for (; extra > 0; --extra) {
        if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
    }
    return cp;
}

bool IsCombiningMark(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
           (c >= 0x064B && c <= 0x065F) || c == 0x0670 || c == 0x0E31 ||
           (c >= 0x0E34 && c <= 0x0E3A) || (c >= 0x0E47 && c <= 0x0E4E) ||
           (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x200C || c == 0x200D;
}

bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// The form of a character that an answer is compared in: lower case for the Latin letters
// of the catalogue's languages and for Cyrillic, ASCII for full-width Latin letters.
char32_t Folded(char32_t c) {
    if (c >= 0xFF01 && c <= 0xFF5E) c = c - 0xFF01 + 0x21;  // full-width ASCII
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c >= 0x0410 && c <= 0x042F) return c + 0x20;
    if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
    return c;
}

bool IsBlank(char32_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x00A0 || c == 0x3000 ||
           c == 0xFEFF;
}

// An answer or a yes-word as compared: folded, without combining accents and blanks.
std::u32string Normalized(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (c < 0x0300 || c > 0x036F) out.push_back(Folded(c));
    }
    std::size_t begin = 0, end = out.size();
    while (begin < end && IsBlank(out[begin])) ++begin;
    while (end > begin && IsBlank(out[end - 1])) --end;
    return out.substr(begin, end - begin);
}

}  // namespace

std::string_view CliTextName(CliText key) {
    switch (key) {
        case K::kPhaseChecking: return "phase_checking";
        case K::kPhaseSwitching: return "phase_switching";
        case K::kPhaseWriting: return "phase_writing";
        case K::kPhaseWaiting: return "phase_waiting";
        case K::kPhaseDone: return "phase_done";
        case K::kProgressLine: return "progress_line";
        case K::kProgressBar: return "progress_bar";
        case K::kAskStart: return "ask_start";
        case K::kAskWrite: return "ask_write";
        case K::kYesNo: return "yes_no";
        case K::kYesWords: return "yes_words";
        case K::kNothingChanged: return "nothing_changed";
        case K::kSummary: return "summary";
        case K::kDecimalPoint: return "decimal_point";
        case K::kCheckAvailable: return "check_available";
        case K::kCheckNothing: return "check_nothing";
        case K::kRecoverQuestion: return "recover_question";
        case K::kRecoveryRefused: return "recovery_refused";
        case K::kAnotherRunning: return "another_running";
        case K::kLeadError: return "lead_error";
        case K::kLeadCause: return "lead_cause";
        case K::kLeadNote: return "lead_note";
        case K::kUnopenedDisks: return "unopened_disks";
        case K::kCensusLine: return "census_line";
        case K::kCensusNone: return "census_none";
        case K::kCensusOne: return "census_one";
        case K::kCensusMany: return "census_many";
        case K::kCensusNoUpdate: return "census_no_update";
        case K::kBridgeDrives: return "bridge_drives";
        case K::kSlotLine: return "slot_line";
        case K::kFirmwareLine: return "firmware_line";
        case K::kNormalFirmware: return "normal_firmware";
        case K::kUpdateLoader: return "update_loader";
        case K::kImageChipUnknown: return "image_chip_unknown";
        case K::kImageMissing: return "image_missing";
        case K::kImageDamaged: return "image_damaged";
        case K::kImageNewer: return "image_newer";
        case K::kImageNotNewer: return "image_not_newer";
        case K::kPathLine: return "path_line";
        case K::kWaitErasing: return "wait_erasing";
        case K::kWaitLoader: return "wait_loader";
        case K::kWaitNextTry: return "wait_next_try";
        case K::kCauseNoDrive: return "cause_no_drive";
        case K::kCauseSeveral: return "cause_several";
        case K::kDriveLine: return "drive_line";
        case K::kCauseLoaderNoRecord: return "cause_loader_no_record";
        case K::kUnfinishedFound: return "unfinished_found";
        case K::kCaptioned: return "captioned";
        case K::kDemoAttached: return "demo_attached";
        case K::kDemoAfter: return "demo_after";
        case K::kDemoTook: return "demo_took";
        case K::kDemoRealistic: return "demo_realistic";
    }
    return {};
}

std::string CliString(CliText key, LanguageId lang) {
    if (const char* text = Find(EntriesOf(lang), key)) return text;
    const char* english = Find(kEnglish, key);
    return english ? english : "";
}

std::span<const LanguageId> CliLanguages() {
    return kCatalogueLanguages;
}

int CliTextOccurrences(CliText key, LanguageId lang) {
    const std::span<const Entry> entries = EntriesOf(lang);
    return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                          [key](const Entry& entry) { return entry.key == key; }));
}

std::string FormatCliText(std::string_view pattern,
                          std::initializer_list<std::string_view> values) {
    return FillPlaces(pattern, {values.begin(), values.size()});
}

std::string FormatCliText(CliText key, LanguageId lang,
                          std::initializer_list<std::string_view> values) {
    return FormatCliText(CliString(key, lang), values);
}

bool IsYesAnswer(std::string_view answer, LanguageId lang) {
    const std::u32string typed = Normalized(answer);
    if (typed.empty()) return false;
    const std::string words = "y yes " + CliString(K::kYesWords, lang);
    std::size_t start = 0;
    while (start < words.size()) {
        std::size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        if (end > start && Normalized(std::string_view(words).substr(start, end - start)) == typed) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::size_t TerminalColumns(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (IsCombiningMark(c)) continue;
        columns += IsWide(c) ? 2 : 1;
    }
    return columns;
}

}  // namespace mox3
