<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AppDelegate</name>
    <message>
        <source>Paused</source>
        <translation>Angehalten</translation></message>
    <message>
        <source>Backup is in progress</source>
        <translation>Sicherung läuft</translation></message>
    <message>
        <source>The backup operation could not start due to an unexpected error.</source>
        <translation>Die Sicherung konnte wegen eines unerwarteten Fehlers nicht starten.</translation></message>
    <message>
        <source>Quit Zorvik Hollin</source>
        <translation>Zorvik Hollin beenden</translation></message>
    <message>
        <source>Reinitialize</source>
        <translation>Neu initialisieren</translation></message>
    <message>
        <source>Processing...</source>
        <translation>Wird verarbeitet …</translation></message>
    <message>
        <source>Success!</source>
        <translation>Erfolgreich!</translation></message>
    <message>
        <source>You have successfully backed up all your files / folders.</source>
        <translation>Alle Ihre Dateien / Ordner wurden erfolgreich gesichert.</translation></message>
    <message>
        <source>Storage is full!
You have used all of your storage space.
Contact your admin.</source>
        <translation>Speicher ist voll!
Sie haben Ihren gesamten Speicherplatz belegt.
Wenden Sie sich an Ihren Administrator.</translation></message>
    <message>
        <source>Storage is full!</source>
        <translation>Speicher ist voll!</translation></message>
    <message>
        <source>Error!</source>
        <translation>Fehler!</translation></message>
    <message>
        <source>Backup failed</source>
        <translation>Sicherung fehlgeschlagen</translation></message>
    <message>
        <source>Menu</source>
        <translation>Menü</translation></message>
    <message>
        <source>Zorvik Hollin</source>
        <translation>Zorvik Hollin</translation></message>
    <message>
        <source>Do you want to Reinitialize your backup?</source>
        <translation>Möchten Sie Ihre Sicherung neu initialisieren?</translation></message>
    <message>
        <source>Your exclusions are set back to the defaults, and all your files / folders are uploaded to the Zorvik Hollin device again from the start. This can take from a few minutes to a few hours.</source>
        <translation>Ihre Ausschlüsse werden auf die Standardwerte zurückgesetzt, und alle Ihre Dateien / Ordner werden von Anfang an erneut auf das Zorvik-Hollin-Gerät hochgeladen. Das kann einige Minuten bis einige Stunden dauern.</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>Do you want to Quit Zorvik Hollin</source>
        <translation>Möchten Sie Zorvik Hollin beenden</translation></message>
    <message>
        <source>You are logged out of your Zorvik Hollin account on this computer, and your backups stop until you log in again. What is already on the Zorvik Hollin device stays there.</source>
        <translation>Sie werden auf diesem Computer von Ihrem Zorvik-Hollin-Konto abgemeldet, und Ihre Sicherungen ruhen, bis Sie sich wieder anmelden. Was bereits auf dem Zorvik-Hollin-Gerät liegt, bleibt dort.</translation></message>
    <message>
        <source>Yes</source>
        <translation>Ja</translation></message>
    <message>
        <source>No</source>
        <translation>Nein</translation></message>
    <message>
        <source>View Status</source>
        <translation>Status anzeigen</translation></message>
    <message>
        <source>View Log</source>
        <translation>Protokoll anzeigen</translation></message>
    <message>
        <source>Preferences</source>
        <translation>Einstellungen</translation></message>
    <message>
        <source>Send Feedback</source>
        <translation>Feedback senden</translation></message>
    <message>
        <source>Login ZorvikHollin</source>
        <translation>Bei ZorvikHollin anmelden</translation></message>
    <message>
        <source>Held Changes…</source>
        <translation>Zurückgehaltene Änderungen …</translation></message>
</context>
<context>
    <name>BackupHealth</name>
    <message>
        <source>Storage is full</source>
        <translation>Speicher ist voll</translation></message>
    <message>
        <source>You have used all of your storage space on the Zorvik Hollin device, so new files are not backed up. Contact your admin.</source>
        <translation>Sie haben Ihren gesamten Speicherplatz auf dem Zorvik-Hollin-Gerät belegt, daher werden neue Dateien nicht gesichert. Wenden Sie sich an Ihren Administrator.</translation></message>
    <message>
        <source>Backup failed</source>
        <translation>Sicherung fehlgeschlagen</translation></message>
    <message>
        <source>Your files could not be backed up, even after several attempts. Open Zorvik Hollin and choose View Log for the reason.</source>
        <translation>Ihre Dateien konnten auch nach mehreren Versuchen nicht gesichert werden. Öffnen Sie Zorvik Hollin und wählen Sie „Protokoll anzeigen“, um den Grund zu sehen.</translation></message>
    <message>
        <source>Restore finished</source>
        <translation>Wiederherstellung abgeschlossen</translation></message>
    <message>
        <source>Your files are restored in %1.</source>
        <translation>Ihre Dateien wurden in %1 wiederhergestellt.</translation></message>
    <message>
        <source>Restore failed</source>
        <translation>Wiederherstellung fehlgeschlagen</translation></message>
    <message>
        <source>Could not restore: %1</source>
        <translation>Nicht wiederherstellbar: %1</translation></message>
    <message>
        <source>, </source>
        <translation>, </translation></message>
    <message>
        <source>Not restored: %1.</source>
        <translation>Nicht wiederhergestellt: %1.</translation></message>
    <message>
        <source> Could not restore: %1</source>
        <translation> Nicht wiederherstellbar: %1</translation></message>
    <message>
        <source>Restore cancelled</source>
        <translation>Wiederherstellung abgebrochen</translation></message>
    <message>
        <source>The last backup completed on %1.</source>
        <translation>Die letzte Sicherung wurde am %1 abgeschlossen.</translation></message>
    <message>
        <source>No backup has completed yet.</source>
        <translation>Es wurde noch keine Sicherung abgeschlossen.</translation></message>
    <message>
        <source>No backup for 1 day</source>
        <translation>Seit 1 Tag keine Sicherung</translation></message>
    <message numerus="yes">
        <source>No backup for %n days</source>
        <translation><numerusform>Seit %n Tag keine Sicherung</numerusform><numerusform>Seit %n Tagen keine Sicherung</numerusform></translation></message>
</context>
<context>
    <name>ExcludeController</name>
    <message>
        <source>Zorvik Hollin Preferences</source>
        <translation>Zorvik Hollin – Einstellungen</translation></message>
    <message>
        <source>Exclude by location</source>
        <translation>Nach Ort ausschließen</translation></message>
    <message>
        <source>?</source>
        <translation>?</translation></message>
    <message>
        <source>Add Folder…</source>
        <translation>Ordner hinzufügen …</translation></message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation></message>
    <message>
        <source>Exclude by name pattern</source>
        <translation>Nach Namensmuster ausschließen</translation></message>
    <message>
        <source>Add Pattern…</source>
        <translation>Muster hinzufügen …</translation></message>
    <message>
        <source>Warn when no backup has completed for</source>
        <translation>Warnen, wenn keine Sicherung abgeschlossen wurde seit</translation></message>
    <message>
        <source> days</source>
        <translation> Tagen</translation></message>
    <message>
        <source>Choose a folder to keep out of the backup</source>
        <translation>Ordner wählen, der nicht gesichert werden soll</translation></message>
    <message>
        <source>Excluded locations</source>
        <translation>Ausgeschlossene Orte</translation></message>
    <message>
        <source>Excluded patterns</source>
        <translation>Ausgeschlossene Muster</translation></message>
    <message>
        <source>Exclude a pattern</source>
        <translation>Ein Muster ausschließen</translation></message>
    <message>
        <source>OK</source>
        <translation>OK</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>Zorvik Hollin</source>
        <translation>Zorvik Hollin</translation></message>
    <message>
        <source>Delete</source>
        <translation>Löschen</translation></message>
    <message>
        <source>Are you sure you want to Delete?</source>
        <translation>Möchten Sie wirklich löschen?</translation></message>
    <message>
        <source>Enter Pattern you want to exclude</source>
        <translation>Geben Sie das Muster ein, das ausgeschlossen werden soll</translation></message>
    <message>
        <source>Exclude files / folders based on their complete directory location.</source>
        <translation>Schließt Dateien / Ordner anhand ihres vollständigen Verzeichnispfads aus.</translation></message>
    <message>
        <source>Excludes files / folders with the same pattern name on different locations within your local computer.</source>
        <translation>Schließt Dateien / Ordner mit demselben Namensmuster an verschiedenen Orten Ihres Computers aus.</translation></message>
    <message>
        <source>for example *.iso or node_modules</source>
        <translation>zum Beispiel *.iso oder node_modules</translation></message>
    <message>
        <source>Exclude</source>
        <translation>Ausschließen</translation></message>
    <message>
        <source>Help: exclude by location</source>
        <translation>Hilfe: nach Ort ausschließen</translation></message>
    <message>
        <source>Help: exclude by name pattern</source>
        <translation>Hilfe: nach Namensmuster ausschließen</translation></message>
    <message>
        <source>Remove %1</source>
        <translation>%1 entfernen</translation></message>
</context>
<context>
    <name>FileManagerRequests</name>
    <message numerus="yes">
        <source>… and %n more</source>
        <translation><numerusform>… und %n weiterer</numerusform><numerusform>… und %n weitere</numerusform></translation></message>
    <message>
        <source>%1 needs your Zorvik Hollin account: log in first, then choose it again.</source>
        <translation>%1 braucht Ihr Zorvik-Hollin-Konto: Melden Sie sich zuerst an und wählen Sie es dann erneut.</translation></message>
    <message>
        <source>Some items were not opened.</source>
        <translation>Einige Einträge wurden nicht geöffnet.</translation></message>
    <message>
        <source>Versions…</source>
        <translation>Versionen …</translation></message>
    <message>
        <source>Versions… opens one file or folder at a time.</source>
        <translation>„Versionen …“ öffnet immer nur eine Datei oder einen Ordner.</translation></message>
    <message>
        <source>The restore window is not available.</source>
        <translation>Das Fenster zum Wiederherstellen ist nicht verfügbar.</translation></message>
    <message>
        <source>At most %1 files are checked at once: close some of the windows and check it again.</source>
        <translation>Höchstens %1 Dateien werden auf einmal geprüft: Schließen Sie einige der Fenster und prüfen Sie sie erneut.</translation></message>
    <message>
        <source>Check a File…</source>
        <translation>Datei prüfen …</translation></message>
    <message>
        <source>Back Up Now</source>
        <translation>Jetzt sichern</translation></message>
    <message>
        <source>Zorvik Hollin's backup could not be reached.</source>
        <translation>Die Sicherung von Zorvik Hollin war nicht erreichbar.</translation></message>
    <message>
        <source>“%1” is handed to the backup: it is sent with the next run.</source>
        <translation>„%1“ wurde an die Sicherung übergeben und wird beim nächsten Lauf gesendet.</translation></message>
    <message numerus="yes">
        <source>%n items are handed to the backup: they are sent with the next run.</source>
        <translation><numerusform>%n Eintrag wurde an die Sicherung übergeben und wird beim nächsten Lauf gesendet.</numerusform><numerusform>%n Einträge wurden an die Sicherung übergeben und werden beim nächsten Lauf gesendet.</numerusform></translation></message>
    <message>
        <source>It is not handed to the backup.</source>
        <translation>Es wurde nicht an die Sicherung übergeben.</translation></message>
    <message>
        <source>None of them is handed to the backup.</source>
        <translation>Keiner davon wurde an die Sicherung übergeben.</translation></message>
    <message>
        <source>Not handed over:</source>
        <translation>Nicht übergeben:</translation></message>
</context>
<context>
    <name>HandedPath</name>
    <message>
        <source>No file or folder was named.</source>
        <translation>Es wurde keine Datei und kein Ordner genannt.</translation></message>
    <message>
        <source>“%1” is not a file of this computer.</source>
        <translation>„%1“ ist keine Datei dieses Computers.</translation></message>
    <message>
        <source>“%1” is not a file of this computer: only files and folders on its own disks are backed up.</source>
        <translation>„%1“ ist keine Datei dieses Computers: Gesichert werden nur Dateien und Ordner auf seinen eigenen Laufwerken.</translation></message>
    <message>
        <source>“%1” is not a full path: it must start with “/”.</source>
        <translation>„%1“ ist kein vollständiger Pfad: Er muss mit „/“ beginnen.</translation></message>
    <message>
        <source>The name of “%1” is not UTF-8 text: Zorvik Hollin cannot name it to the backup. Rename it to back it up.</source>
        <translation>Der Name von „%1“ ist kein UTF-8-Text: Zorvik Hollin kann ihn der Sicherung nicht nennen. Benennen Sie es um, um es zu sichern.</translation></message>
    <message>
        <source>The name of “%1” holds a line break or another control character, which the backup's lists cannot hold. Rename it to back it up.</source>
        <translation>Der Name von „%1“ enthält einen Zeilenumbruch oder ein anderes Steuerzeichen, das die Listen der Sicherung nicht aufnehmen können. Benennen Sie es um, um es zu sichern.</translation></message>
    <message>
        <source>“%1” is longer than a path can be.</source>
        <translation>„%1“ ist länger, als ein Pfad sein kann.</translation></message>
    <message>
        <source>“%1” is not a plain path (it holds “.”, “..” or “//”).</source>
        <translation>„%1“ ist kein einfacher Pfad (er enthält „.“, „..“ oder „//“).</translation></message>
    <message>
        <source>“%1” does not exist on this computer.</source>
        <translation>„%1“ gibt es auf diesem Computer nicht.</translation></message>
    <message>
        <source>“%1” cannot be reached with your rights: a folder above it is closed to you.</source>
        <translation>„%1“ ist mit Ihren Rechten nicht erreichbar: Ein Ordner darüber ist für Sie verschlossen.</translation></message>
    <message>
        <source>“%1” cannot be looked at: %2</source>
        <translation>„%1“ kann nicht angesehen werden: %2</translation></message>
</context>
<context>
    <name>HeldChangesDialog</name>
    <message>
        <source>Held Changes</source>
        <translation>Zurückgehaltene Änderungen</translation></message>
    <message numerus="yes">
        <source>Backups of %n changed files are held. Some of them:</source>
        <translation><numerusform>Die Sicherung von %n geänderten Datei wird zurückgehalten. Darunter:</numerusform><numerusform>Die Sicherungen von %n geänderten Dateien werden zurückgehalten. Einige davon:</numerusform></translation></message>
    <message numerus="yes">
        <source>Backups of %n changed files are held:</source>
        <translation><numerusform>Die Sicherung von %n geänderten Datei wird zurückgehalten:</numerusform><numerusform>Die Sicherungen von %n geänderten Dateien werden zurückgehalten:</numerusform></translation></message>
    <message>
        <source>Open a few of them. If they are what you made, let them go; if they are damaged, restore the earlier versions from the Zorvik Hollin device.</source>
        <translation>Öffnen Sie einige davon. Sind sie so, wie Sie sie bearbeitet haben, geben Sie sie frei; sind sie beschädigt, stellen Sie die früheren Versionen vom Zorvik-Hollin-Gerät wieder her.</translation></message>
    <message>
        <source>Continue</source>
        <translation>Fortfahren</translation></message>
    <message>
        <source>The backup of 1 changed file is held:</source>
        <translation>Die Sicherung von 1 geänderten Datei wird zurückgehalten:</translation></message>
</context>
<context>
    <name>LogController</name>
    <message>
        <source>Zorvik Hollin Logs</source>
        <translation>Zorvik Hollin – Protokolle</translation></message>
    <message>
        <source>Select a log to read it; double-click opens it in your text editor.</source>
        <translation>Wählen Sie ein Protokoll, um es zu lesen; ein Doppelklick öffnet es in Ihrem Texteditor.</translation></message>
    <message>
        <source>Delete</source>
        <translation>Löschen</translation></message>
    <message>
        <source>Delete this log</source>
        <translation>Dieses Protokoll löschen</translation></message>
    <message>
        <source>Log</source>
        <translation>Protokoll</translation></message>
    <message>
        <source>Last modified</source>
        <translation>Zuletzt geändert</translation></message>
    <message>
        <source>Logs</source>
        <translation>Protokolle</translation></message>
    <message>
        <source>Contents of the selected log</source>
        <translation>Inhalt des gewählten Protokolls</translation></message>
</context>
<context>
    <name>LoginController</name>
    <message>
        <source>Zorvik Hollin</source>
        <translation>Zorvik Hollin</translation></message>
    <message>
        <source>Log in to your Hollin appliance account</source>
        <translation>Bei Ihrem Konto der Hollin-Appliance anmelden</translation></message>
    <message>
        <source>Appliance address (IP address or host name)</source>
        <translation>Adresse der Appliance (IP oder Hostname)</translation></message>
    <message>
        <source>Enter your IP address</source>
        <translation>Geben Sie Ihre IP-Adresse ein</translation></message>
    <message>
        <source>User name</source>
        <translation>Benutzername</translation></message>
    <message>
        <source>Enter your user name</source>
        <translation>Geben Sie Ihren Benutzernamen ein</translation></message>
    <message>
        <source>Password</source>
        <translation>Passwort</translation></message>
    <message>
        <source>Enter your password</source>
        <translation>Geben Sie Ihr Passwort ein</translation></message>
    <message>
        <source>Remember me</source>
        <translation>Angemeldet bleiben</translation></message>
    <message>
        <source>Log In</source>
        <translation>Anmelden</translation></message>
    <message>
        <source>Log-in failed. Check your user name, password and the appliance's address.</source>
        <translation>Anmeldung fehlgeschlagen. Prüfen Sie Benutzernamen, Passwort und die Adresse der Appliance.</translation></message>
    <message>
        <source>Checking your account on the appliance…</source>
        <translation>Ihr Konto wird auf der Appliance geprüft …</translation></message>
    <message>
        <source>Enter a valid IP address</source>
        <translation>Geben Sie eine gültige IP-Adresse</translation></message>
    <message>
        <source> or host name (letters, digits, “-” and “.” only)</source>
        <translation> oder einen Hostnamen ein (nur Buchstaben, Ziffern, „-“ und „.“)</translation></message>
    <message>
        <source> or host name, such as 192.168.1.20 or hollin.local</source>
        <translation> oder einen Hostnamen ein, etwa 192.168.1.20 oder hollin.local</translation></message>
    <message>
        <source>Log-in failed.</source>
        <translation>Anmeldung fehlgeschlagen.</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>Log-in check cancelled: nothing was saved. Change what you need and log in again.</source>
        <translation>Anmeldeprüfung abgebrochen: Es wurde nichts gespeichert. Ändern Sie, was nötig ist, und melden Sie sich erneut an.</translation></message>
    <message>
        <source>rsync could not be started; reinstall Zorvik Hollin.</source>
        <translation>rsync konnte nicht gestartet werden; installieren Sie Zorvik Hollin neu.</translation></message>
    <message>
        <source>Wrong password: the appliance refused this user name and password. Type the password again.</source>
        <translation>Falsches Passwort: Die Appliance hat diesen Benutzernamen und dieses Passwort abgelehnt. Geben Sie das Passwort erneut ein.</translation></message>
    <message>
        <source>The appliance has no backup account “%1”. Check the user name, or ask your admin to create the account.</source>
        <translation>Die Appliance hat kein Sicherungskonto „%1“. Prüfen Sie den Benutzernamen oder bitten Sie Ihren Administrator, das Konto anzulegen.</translation></message>
    <message>
        <source>%1 refused the connection: no Hollin appliance answers there. Check the address.</source>
        <translation>%1 hat die Verbindung abgelehnt: Dort antwortet keine Hollin-Appliance. Prüfen Sie die Adresse.</translation></message>
    <message>
        <source>The appliance at %1 did not answer. Check the address, the network and that the appliance is on.</source>
        <translation>Die Appliance unter %1 hat nicht geantwortet. Prüfen Sie die Adresse, das Netzwerk und ob die Appliance eingeschaltet ist.</translation></message>
    <message>
        <source>%1 cannot be reached from this computer (no route to it). Check the address and the network.</source>
        <translation>%1 ist von diesem Computer aus nicht erreichbar (keine Route dorthin). Prüfen Sie Adresse und Netzwerk.</translation></message>
    <message>
        <source>The name “%1” is not known on this network. Check it, or enter the appliance's IP address.</source>
        <translation>Der Name „%1“ ist in diesem Netzwerk unbekannt. Prüfen Sie ihn oder geben Sie die IP-Adresse der Appliance ein.</translation></message>
    <message>
        <source>What answered at %1 is not a Hollin appliance. Check the address.</source>
        <translation>Was unter %1 geantwortet hat, ist keine Hollin-Appliance. Prüfen Sie die Adresse.</translation></message>
    <message>
        <source> The appliance is busy (too many connections). Try again in a minute.</source>
        <translation> Die Appliance ist ausgelastet (zu viele Verbindungen). Versuchen Sie es in einer Minute erneut.</translation></message>
    <message>
        <source>Log-in failed: </source>
        <translation>Anmeldung fehlgeschlagen: </translation></message>
    <message>
        <source>The appliance at %1 offers no backup accounts (no “backup” area). Ask your admin which appliance holds your account.</source>
        <translation>Die Appliance unter %1 bietet keine Sicherungskonten an (kein Bereich „backup“). Fragen Sie Ihren Administrator, welche Appliance Ihr Konto führt.</translation></message>
</context>
<context>
    <name>ProtectionCheckDialog</name>
    <message>
        <source>a built-in rule (%1)</source>
        <translation>eine eingebaute Regel (%1)</translation></message>
    <message>
        <source>your list of excluded items (“%1”)</source>
        <translation>Ihre Liste ausgeschlossener Elemente („%1“)</translation></message>
    <message>
        <source>the Time Machine destination “%1”</source>
        <translation>das Time-Machine-Ziel „%1“</translation></message>
    <message>
        <source>the name pattern “%1”</source>
        <translation>das Namensmuster „%1“</translation></message>
    <message>
        <source>a built-in rule</source>
        <translation>eine eingebaute Regel</translation></message>
    <message>
        <source>Check a File…</source>
        <translation>Datei prüfen …</translation></message>
    <message>
        <source>Whether a file of this computer is backed up, and if not, why (or drop a file here)</source>
        <translation>Ob eine Datei dieses Computers gesichert ist, und wenn nicht, warum (oder eine Datei hier ablegen)</translation></message>
    <message>
        <source>Check a File</source>
        <translation>Datei prüfen</translation></message>
    <message>
        <source>Is “%1” backed up?</source>
        <translation>Ist „%1“ gesichert?</translation></message>
    <message>
        <source>Stop Excluding It</source>
        <translation>Nicht mehr ausschließen</translation></message>
    <message>
        <source>Back Up Now</source>
        <translation>Jetzt sichern</translation></message>
    <message>
        <source>Zorvik Hollin's backup could not be reached.</source>
        <translation>Die Sicherung von Zorvik Hollin war nicht erreichbar.</translation></message>
    <message>
        <source>Handed to the backup: it is sent with the next run.</source>
        <translation>An die Sicherung übergeben: Sie wird beim nächsten Lauf gesendet.</translation></message>
    <message>
        <source>It is in no snapshot yet.</source>
        <translation>Sie ist noch in keinem Schnappschuss.</translation></message>
    <message>
        <source>It is in 1 snapshot.</source>
        <translation>Sie ist in 1 Schnappschuss.</translation></message>
    <message>
        <source>It is in %1 snapshots.</source>
        <translation>Sie ist in %1 Schnappschüssen.</translation></message>
    <message>
        <source>“%1” does not exist on this computer.</source>
        <translation>„%1“ gibt es auf diesem Computer nicht.</translation></message>
    <message>
        <source>“%1” is not backed up: it is excluded by %2.</source>
        <translation>„%1“ wird nicht gesichert: ausgeschlossen durch %2.</translation></message>
    <message>
        <source>the default list (“%1”)</source>
        <translation>die Standardliste („%1“)</translation></message>
    <message>
        <source>You can stop excluding it here or in Exclude Items.</source>
        <translation>Sie können den Ausschluss hier oder unter „Elemente ausschließen“ aufheben.</translation></message>
    <message>
        <source>This rule keeps temporary and system files out of every backup; it cannot be lifted.</source>
        <translation>Diese Regel hält temporäre und Systemdateien aus jeder Sicherung heraus; sie lässt sich nicht aufheben.</translation></message>
    <message>
        <source>“%1” could not be sent the last time it was tried.</source>
        <translation>„%1“ konnte beim letzten Versuch nicht gesendet werden.</translation></message>
    <message>
        <source>The session log says: %1</source>
        <translation>Das Sitzungsprotokoll sagt: %1</translation></message>
    <message>
        <source>It is queued again (number %1 of %2 waiting).</source>
        <translation>Sie wartet erneut (Nummer %1 von %2 wartenden).</translation></message>
    <message>
        <source>It is sent again when it changes next.</source>
        <translation>Sie wird erneut gesendet, wenn sie sich das nächste Mal ändert.</translation></message>
    <message>
        <source>“%1” is waiting to be sent since %2.</source>
        <translation>„%1“ wartet seit %2 darauf, gesendet zu werden.</translation></message>
    <message>
        <source>Number %1 of %2 waiting.</source>
        <translation>Nummer %1 von %2 wartenden.</translation></message>
    <message>
        <source>“%1” is on the appliance since %2.</source>
        <translation>„%1“ ist seit %2 auf der Appliance.</translation></message>
    <message>
        <source>Same size as here (%1 bytes).</source>
        <translation>Gleiche Größe wie hier (%1 Bytes).</translation></message>
    <message>
        <source>The appliance's copy has %1 bytes, this one %2.</source>
        <translation>Die Kopie auf der Appliance hat %1 Bytes, diese hier %2.</translation></message>
    <message>
        <source>“Versions…” in Restore lists its copies in the snapshots.</source>
        <translation>„Versionen …“ unter „Wiederherstellen“ listet ihre Kopien in den Schnappschüssen auf.</translation></message>
    <message>
        <source>“%1” has never been seen by the backup.</source>
        <translation>„%1“ wurde von der Sicherung nie gesehen.</translation></message>
    <message>
        <source>It is not on the appliance, not waiting and not excluded: it was most likely made while Zorvik Hollin was not running, and is sent when it changes next.</source>
        <translation>Sie ist nicht auf der Appliance, wartet nicht und ist nicht ausgeschlossen: Vermutlich entstand sie, als Zorvik Hollin nicht lief, und wird gesendet, wenn sie sich das nächste Mal ändert.</translation></message>
    <message>
        <source>The local index could not be read (%1).</source>
        <translation>Der lokale Index konnte nicht gelesen werden (%1).</translation></message>
    <message>
        <source>“%1” cannot be reached with your rights: a folder above it is closed to you.</source>
        <translation>„%1“ ist mit Ihren Rechten nicht erreichbar: Ein Ordner darüber ist für Sie verschlossen.</translation></message>
    <message>
        <source>The backup reads your files with your rights, so it cannot send what you cannot open.</source>
        <translation>Die Sicherung liest Ihre Dateien mit Ihren Rechten und kann daher nicht senden, was Sie nicht öffnen können.</translation></message>
    <message>
        <source>You cannot read it, and the backup reads your files with your rights: it cannot be sent until you can read it.</source>
        <translation>Sie können sie nicht lesen, und die Sicherung liest Ihre Dateien mit Ihren Rechten: Sie kann erst gesendet werden, wenn Sie sie lesen können.</translation></message>
    <message>
        <source>It changed after the oldest of the %1 changes waiting to be sent was noted.</source>
        <translation>Sie hat sich geändert, nachdem die älteste der %1 wartenden Änderungen bemerkt wurde.</translation></message>
    <message>
        <source>It changed here since, and the backup has not noted that change: it is sent when it changes next, or now with Back Up Now.</source>
        <translation>Sie hat sich hier seitdem geändert, und die Sicherung hat diese Änderung nicht bemerkt: Sie wird gesendet, wenn sie sich das nächste Mal ändert, oder jetzt mit „Jetzt sichern“.</translation></message>
</context>
<context>
    <name>ProtectionMonitor</name>
    <message>
        <source>Changes are waiting to be backed up</source>
        <translation>Änderungen warten auf die Sicherung</translation></message>
    <message>
        <source>1 change has not reached the Zorvik Hollin device</source>
        <translation>1 Änderung hat das Zorvik-Hollin-Gerät noch nicht erreicht</translation></message>
    <message numerus="yes">
        <source>%n changes have not reached the Zorvik Hollin device</source>
        <translation><numerusform>%n Änderung hat das Zorvik-Hollin-Gerät noch nicht erreicht</numerusform><numerusform>%n Änderungen haben das Zorvik-Hollin-Gerät noch nicht erreicht</numerusform></translation></message>
    <message numerus="yes">
        <source>for %n hours.</source>
        <translation><numerusform>seit %n Stunde.</numerusform><numerusform>seit %n Stunden.</numerusform></translation></message>
    <message numerus="yes">
        <source>for %n minutes.</source>
        <translation><numerusform>seit %n Minute.</numerusform><numerusform>seit %n Minuten.</numerusform></translation></message>
    <message>
        <source>Open Zorvik Hollin and choose View Log to see why.</source>
        <translation>Öffnen Sie Zorvik Hollin und wählen Sie „Protokolle anzeigen“, um den Grund zu sehen.</translation></message>
    <message>
        <source>Changes may go unnoticed</source>
        <translation>Änderungen bleiben womöglich unbemerkt</translation></message>
    <message>
        <source>Zorvik Hollin is not seeing every change to your files, so some may not be backed up until it does again.</source>
        <translation>Zorvik Hollin sieht nicht jede Änderung an Ihren Dateien; manche werden womöglich erst gesichert, wenn es sie wieder sieht.</translation></message>
    <message>
        <source>1 file differs from its copy in the newest snapshot on the Zorvik Hollin device.</source>
        <translation>1 Datei weicht von ihrer Kopie im neuesten Schnappschuss auf dem Zorvik-Hollin-Gerät ab.</translation></message>
    <message numerus="yes">
        <source>%n files differ from their copies in the newest snapshot on the Zorvik Hollin device.</source>
        <translation><numerusform>%n Datei weicht von ihrer Kopie im neuesten Schnappschuss auf dem Zorvik-Hollin-Gerät ab.</numerusform><numerusform>%n Dateien weichen von ihren Kopien im neuesten Schnappschuss auf dem Zorvik-Hollin-Gerät ab.</numerusform></translation></message>
    <message>
        <source>For example: %1</source>
        <translation>Zum Beispiel: %1</translation></message>
    <message>
        <source>Restore check found damaged copies</source>
        <translation>Die Wiederherstellungsprüfung hat beschädigte Kopien gefunden</translation></message>
    <message numerus="yes">
        <source>%n files changed at once — backups of them are held</source>
        <translation><numerusform>%n Datei auf einmal geändert – ihre Sicherung wird zurückgehalten</numerusform><numerusform>%n Dateien auf einmal geändert – ihre Sicherungen werden zurückgehalten</numerusform></translation></message>
    <message>
        <source>Many of your files were rewritten within minutes, as ransomware or a program gone wrong does. Look at them before they replace the good copies on the Zorvik Hollin device; new files are backed up as usual.</source>
        <translation>Viele Ihrer Dateien wurden innerhalb weniger Minuten neu geschrieben, wie es Erpressersoftware oder ein fehlerhaftes Programm tut. Sehen Sie sie sich an, bevor sie die guten Kopien auf dem Zorvik-Hollin-Gerät ersetzen; neue Dateien werden wie gewohnt gesichert.</translation></message>
    <message>
        <source>Show Files</source>
        <translation>Dateien anzeigen</translation></message>
    <message>
        <source>Continue</source>
        <translation>Fortfahren</translation></message>
</context>
<context>
    <name>ProtectionPanel</name>
    <message>
        <source>Protection</source>
        <translation>Schutz</translation></message>
    <message>
        <source>Check now</source>
        <translation>Jetzt prüfen</translation></message>
    <message>
        <source>Compare a sample of your backed-up files with the newest snapshot now</source>
        <translation>Eine Stichprobe Ihrer gesicherten Dateien jetzt mit dem neuesten Schnappschuss vergleichen</translation></message>
</context>
<context>
    <name>ProtectionState</name>
    <message>
        <source>less than a minute ago</source>
        <translation>vor weniger als einer Minute</translation></message>
    <message>
        <source>1 minute ago</source>
        <translation>vor 1 Minute</translation></message>
    <message numerus="yes">
        <source>%n minutes ago</source>
        <translation><numerusform>vor %n Minute</numerusform><numerusform>vor %n Minuten</numerusform></translation></message>
    <message>
        <source>1 hour ago</source>
        <translation>vor 1 Stunde</translation></message>
    <message numerus="yes">
        <source>%n hours ago</source>
        <translation><numerusform>vor %n Stunde</numerusform><numerusform>vor %n Stunden</numerusform></translation></message>
    <message numerus="yes">
        <source>%n days ago</source>
        <translation><numerusform>vor %n Tag</numerusform><numerusform>vor %n Tagen</numerusform></translation></message>
    <message>
        <source>Paused — all changes are on the Zorvik Hollin device</source>
        <translation>Angehalten – alle Änderungen sind auf dem Zorvik-Hollin-Gerät</translation></message>
    <message>
        <source>All changes are on the Zorvik Hollin device</source>
        <translation>Alle Änderungen sind auf dem Zorvik-Hollin-Gerät</translation></message>
    <message>
        <source>Paused — 1 change waiting</source>
        <translation>Angehalten – 1 Änderung wartet</translation></message>
    <message numerus="yes">
        <source>Paused — %n changes waiting</source>
        <translation><numerusform>Angehalten – %n Änderung wartet</numerusform><numerusform>Angehalten – %n Änderungen warten</numerusform></translation></message>
    <message>
        <source>1 change waiting</source>
        <translation>1 Änderung wartet</translation></message>
    <message numerus="yes">
        <source>%n changes waiting</source>
        <translation><numerusform>%n Änderung wartet</numerusform><numerusform>%n Änderungen warten</numerusform></translation></message>
    <message>
        <source>1 change waiting, from %1</source>
        <translation>1 Änderung wartet, von %1</translation></message>
    <message numerus="yes">
        <source>%n changes waiting, the oldest from %1</source>
        <translation><numerusform>%n Änderung wartet, die älteste von %1</numerusform><numerusform>%n Änderungen warten, die älteste von %1</numerusform></translation></message>
    <message>
        <source>Watching the whole disk</source>
        <translation>Die ganze Festplatte wird beobachtet</translation></message>
    <message>
        <source>Watching the users folder (1 folder)</source>
        <translation>Der Benutzerordner wird beobachtet (1 Ordner)</translation></message>
    <message>
        <source>Watching the users folder (%1 folders)</source>
        <translation>Der Benutzerordner wird beobachtet (%1 Ordner)</translation></message>
    <message>
        <source> — some folders are left unwatched at the system's watch limit</source>
        <translation> – einige Ordner bleiben an der Beobachtungsgrenze des Systems unbeobachtet</translation></message>
    <message>
        <source>an unknown time</source>
        <translation>unbekannter Zeit</translation></message>
    <message>
        <source>Events were lost at %1: rescanning</source>
        <translation>Um %1 gingen Ereignisse verloren: wird neu durchsucht</translation></message>
    <message>
        <source>Not watching: %1</source>
        <translation>Keine Beobachtung: %1</translation></message>
    <message>
        <source>no reason given</source>
        <translation>ohne Angabe eines Grundes</translation></message>
    <message>
        <source>Watch not reported yet</source>
        <translation>Beobachtung noch nicht gemeldet</translation></message>
    <message>
        <source>Restore check running…</source>
        <translation>Wiederherstellungsprüfung läuft …</translation></message>
    <message>
        <source>no file to check yet</source>
        <translation>noch keine Datei zu prüfen</translation></message>
    <message>
        <source>the appliance could not be asked</source>
        <translation>die Appliance war nicht erreichbar</translation></message>
    <message>
        <source>Restore check on %1: %2</source>
        <translation>Wiederherstellungsprüfung am %1: %2</translation></message>
    <message>
        <source>Restore check: %1</source>
        <translation>Wiederherstellungsprüfung: %1</translation></message>
    <message>
        <source>No restore check yet</source>
        <translation>Noch keine Wiederherstellungsprüfung</translation></message>
    <message>
        <source>1 change held after many files changed at once</source>
        <translation>1 Änderung zurückgehalten, nachdem viele Dateien auf einmal geändert wurden</translation></message>
    <message numerus="yes">
        <source>%n changes held after many files changed at once</source>
        <translation><numerusform>%n Änderung zurückgehalten, nachdem viele Dateien auf einmal geändert wurden</numerusform><numerusform>%n Änderungen zurückgehalten, nachdem viele Dateien auf einmal geändert wurden</numerusform></translation></message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Tell me when changes wait longer than</source>
        <translation>Mich benachrichtigen, wenn Änderungen länger warten als</translation></message>
    <message>
        <source> minutes</source>
        <translation> Minuten</translation></message>
</context>
<context>
    <name>RestoreSummaryDialog</name>
    <message>
        <source>nothing</source>
        <translation>nichts</translation></message>
    <message>
        <source>merged with %1 above</source>
        <translation>mit %1 (oben) zusammengeführt</translation></message>
    <message>
        <source>%1 above lands in the same folder: the files of both join there; each file this one replaces is kept beside it as “name%2”.</source>
        <translation>%1 (oben) landet im selben Ordner: Die Dateien beider kommen dort zusammen; jede Datei, die dieses Element ersetzt, bleibt daneben als „Name%2“ erhalten.</translation></message>
    <message>
        <source>replaces %1 above, kept under a new name</source>
        <translation>ersetzt %1 (oben), unter neuem Namen erhalten</translation></message>
    <message>
        <source>%1 above lands on the same name: it is kept as “%2%3” when this one is written.</source>
        <translation>%1 (oben) trägt denselben Namen: Es bleibt als „%2%3“ erhalten, wenn dieses Element geschrieben wird.</translation></message>
    <message>
        <source>a folder: merged</source>
        <translation>ein Ordner: zusammengeführt</translation></message>
    <message>
        <source>kept under a new name</source>
        <translation>unter neuem Namen erhalten</translation></message>
    <message>
        <source>A folder of this name is there: the restored files join it; each file they replace is kept beside it as “name%1”.</source>
        <translation>Dort ist ein Ordner dieses Namens: Die wiederhergestellten Dateien kommen hinzu; jede Datei, die sie ersetzen, bleibt daneben als „Name%1“ erhalten.</translation></message>
    <message>
        <source>%1 of this name is there: it is kept as “%2%3”.</source>
        <translation>%1 dieses Namens ist dort: Sie bleibt als „%2%3“ erhalten.</translation></message>
    <message>
        <source>A folder</source>
        <translation>Ein Ordner</translation></message>
    <message>
        <source>A file</source>
        <translation>Eine Datei</translation></message>
    <message>
        <source>1 item, %1%2, to %3.</source>
        <translation>1 Element, %1%2, nach %3.</translation></message>
    <message numerus="yes">
        <source>%n items, %1%2, to %3.</source>
        <translation><numerusform>%n Element, %1%2, nach %3.</numerusform><numerusform>%n Elemente, %1%2, nach %3.</numerusform></translation></message>
    <message>
        <source>at least </source>
        <translation>mindestens </translation></message>
    <message>
        <source>
This folder does not exist yet: it is created first (only you can open it), and each item goes inside it.</source>
        <translation>
Dieser Ordner existiert noch nicht: Er wird zuerst angelegt (nur Sie können ihn öffnen), und jedes Element kommt hinein.</translation></message>
    <message numerus="yes">
        <source>
%n of them meet something already there; nothing is overwritten without a copy.</source>
        <translation><numerusform>
%n davon trifft auf etwas, das schon da ist; nichts wird ohne Kopie überschrieben.</numerusform><numerusform>
%n davon treffen auf etwas, das schon da ist; nichts wird ohne Kopie überschrieben.</numerusform></translation></message>
    <message>
        <source>Restore</source>
        <translation>Wiederherstellen</translation></message>
    <message>
        <source>Item</source>
        <translation>Element</translation></message>
    <message>
        <source>Size</source>
        <translation>Größe</translation></message>
    <message>
        <source>Restored to</source>
        <translation>Wiederhergestellt nach</translation></message>
    <message>
        <source>Already there</source>
        <translation>Bereits vorhanden</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>What is restored, item by item</source>
        <translation>Was wiederhergestellt wird, Element für Element</translation></message>
</context>
<context>
    <name>RestoreTreeModel</name>
    <message>
        <source>Name</source>
        <translation>Name</translation></message>
    <message>
        <source>Size</source>
        <translation>Größe</translation></message>
    <message>
        <source>Date Modified</source>
        <translation>Geändert</translation></message>
    <message>
        <source>Version</source>
        <translation>Version</translation></message>
    <message>
        <source>Loading...</source>
        <translation>Wird geladen …</translation></message>
</context>
<context>
    <name>RestoreViewController</name>
    <message>
        <source>Restore</source>
        <translation>Wiederherstellen</translation></message>
    <message>
        <source>Back to Live</source>
        <translation>Zurück zum aktuellen Stand</translation></message>
    <message>
        <source>Search</source>
        <translation>Suchen</translation></message>
    <message>
        <source>No data found</source>
        <translation>Keine Daten gefunden</translation></message>
    <message>
        <source>Restore to:</source>
        <translation>Wiederherstellen nach:</translation></message>
    <message>
        <source>Browse...</source>
        <translation>Durchsuchen …</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>Time Machine</source>
        <translation>Time Machine</translation></message>
    <message>
        <source>?</source>
        <translation>?</translation></message>
    <message>
        <source>Snapshot as on %1</source>
        <translation>Schnappschuss vom %1</translation></message>
    <message>
        <source>Ok</source>
        <translation>OK</translation></message>
    <message>
        <source>Please Select files / folders to restore</source>
        <translation>Bitte wählen Sie Dateien / Ordner zum Wiederherstellen</translation></message>
    <message>
        <source>no folder to restore into is chosen</source>
        <translation>es ist kein Zielordner gewählt</translation></message>
    <message>
        <source>“%1” is a file, not a folder</source>
        <translation>„%1“ ist eine Datei, kein Ordner</translation></message>
    <message>
        <source>the folder “%1” cannot be created (%2)</source>
        <translation>der Ordner „%1“ kann nicht angelegt werden (%2)</translation></message>
    <message>
        <source>“%1” is not a folder</source>
        <translation>„%1“ ist kein Ordner</translation></message>
    <message>
        <source>you cannot write into “%1” (%2)</source>
        <translation>Sie können nicht in „%1“ schreiben (%2)</translation></message>
    <message>
        <source>Nothing was restored: %1.</source>
        <translation>Nichts wurde wiederhergestellt: %1.</translation></message>
    <message>
        <source>Downloading...</source>
        <translation>Wird heruntergeladen …</translation></message>
    <message>
        <source>Restore cancelled: %1 not restored.</source>
        <translation>Wiederherstellung abgebrochen: %1 nicht wiederhergestellt.</translation></message>
    <message>
        <source>Could not restore: %1</source>
        <translation>Nicht wiederherstellbar: %1</translation></message>
    <message>
        <source>, </source>
        <translation>, </translation></message>
    <message>
        <source>Downloading %1 </source>
        <translation>%1 wird heruntergeladen </translation></message>
    <message>
        <source>Downloading %1 %2</source>
        <translation>%1 wird heruntergeladen %2</translation></message>
    <message>
        <source>Earlier versions of your files are the read-only snapshots the appliance keeps of your backup. Choose one in the list at the top of this window (‘Snapshot’ is your backup as it is now), tick the files and folders you need and press ‘Restore’.</source>
        <translation>Frühere Versionen Ihrer Dateien sind die schreibgeschützten Schnappschüsse, die die Appliance von Ihrer Sicherung aufbewahrt. Wählen Sie einen in der Liste oben in diesem Fenster (‚Snapshot‘ ist Ihre Sicherung im aktuellen Stand), haken Sie die benötigten Dateien und Ordner an und drücken Sie ‚Wiederherstellen‘.</translation></message>
    <message>
        <source>Choose the folder to restore into with “Browse...”.</source>
        <translation>Wählen Sie mit „Durchsuchen …“ den Zielordner der Wiederherstellung.</translation></message>
    <message>
        <source>“%1” is a file, not a folder. Choose the folder to restore into with “Browse...”.</source>
        <translation>„%1“ ist eine Datei, kein Ordner. Wählen Sie mit „Durchsuchen …“ den Zielordner der Wiederherstellung.</translation></message>
    <message>
        <source> Choose another folder with “Browse...”.</source>
        <translation> Wählen Sie mit „Durchsuchen …“ einen anderen Ordner.</translation></message>
    <message>
        <source>Select the ‘Show Time Machine in menu bar’ option.Click the icon from the menu bar and select the ‘Enter Time Machine’ option.</source>
        <translation>Wählen Sie die Option ‚Time Machine in der Menüleiste anzeigen‘. Klicken Sie auf das Symbol in der Menüleiste und wählen Sie ‚Time Machine öffnen‘.</translation></message>
    <message>
        <source>Search the backup</source>
        <translation>Sicherung durchsuchen</translation></message>
    <message>
        <source>Files and folders of the backup</source>
        <translation>Dateien und Ordner der Sicherung</translation></message>
    <message>
        <source>Help: earlier versions</source>
        <translation>Hilfe: frühere Versionen</translation></message>
    <message>
        <source>Versions…</source>
        <translation>Versionen …</translation></message>
    <message>
        <source>Every copy of the selected file or folder the appliance keeps</source>
        <translation>Jede Kopie der gewählten Datei oder des gewählten Ordners, die die Appliance aufbewahrt</translation></message>
    <message>
        <source>Select a file or folder first.</source>
        <translation>Wählen Sie zuerst eine Datei oder einen Ordner.</translation></message>
    <message>
        <source>Check a File…</source>
        <translation>Datei prüfen …</translation></message>
    <message>
        <source>Whether a file of this computer is backed up, and if not, why (or drop a file here)</source>
        <translation>Ob eine Datei dieses Computers gesichert ist, und wenn nicht, warum (oder eine Datei hier ablegen)</translation></message>
    <message>
        <source>Check a File</source>
        <translation>Datei prüfen</translation></message>
    <message>
        <source>Choose the folder to restore into.</source>
        <translation>Wählen Sie den Ordner, in den wiederhergestellt wird.</translation></message>
</context>
<context>
    <name>SearchController</name>
    <message>
        <source>Back</source>
        <translation>Zurück</translation></message>
    <message>
        <source>Name</source>
        <translation>Name</translation></message>
    <message>
        <source>Size</source>
        <translation>Größe</translation></message>
    <message>
        <source>Date Modified</source>
        <translation>Geändert</translation></message>
    <message>
        <source>1 item found</source>
        <translation>1 Element gefunden</translation></message>
    <message numerus="yes">
        <source>%n items found</source>
        <translation><numerusform>%n Element gefunden</numerusform><numerusform>%n Elemente gefunden</numerusform></translation></message>
    <message>
        <source>Showing the first %1: more match. Type more of the name to narrow the search.</source>
        <translation>Die ersten %1 werden gezeigt: Es gibt weitere Treffer. Geben Sie mehr vom Namen ein, um die Suche einzugrenzen.</translation></message>
    <message>
        <source>No items found</source>
        <translation>Keine Elemente gefunden</translation></message>
    <message>
        <source>Showing the first %1: the index became busy before the search ended. Search again in a moment for the rest.</source>
        <translation>Die ersten %1 werden gezeigt: Der Index war belegt, bevor die Suche endete. Suchen Sie gleich noch einmal nach dem Rest.</translation></message>
    <message>
        <source>The index is busy: the backup is updating it. Search again in a moment.</source>
        <translation>Der Index ist belegt: Die Sicherung aktualisiert ihn. Suchen Sie gleich noch einmal.</translation></message>
    <message>
        <source>The index cannot be opened: this computer has no readable list of your backed-up files yet (it is made after the first backup). Browse the folders instead.</source>
        <translation>Der Index lässt sich nicht öffnen: Dieser Computer hat noch keine lesbare Liste Ihrer gesicherten Dateien (sie entsteht nach der ersten Sicherung). Durchsuchen Sie stattdessen die Ordner.</translation></message>
    <message>
        <source>an error of the index</source>
        <translation>ein Fehler des Index</translation></message>
    <message>
        <source>Showing the first %1: the search failed before it ended (%2).</source>
        <translation>Die ersten %1 werden gezeigt: Die Suche ist vor ihrem Ende fehlgeschlagen (%2).</translation></message>
    <message>
        <source>The search failed: %1.</source>
        <translation>Die Suche ist fehlgeschlagen: %1.</translation></message>
    <message>
        <source>Search results</source>
        <translation>Suchergebnisse</translation></message>
    <message>
        <source>Restore %1</source>
        <translation>%1 wiederherstellen</translation></message>
</context>
<context>
    <name>SendErrorReport</name>
    <message>
        <source>Send Feedback</source>
        <translation>Feedback senden</translation></message>
    <message>
        <source>Tell us what happened</source>
        <translation>Erzählen Sie uns, was passiert ist</translation></message>
    <message>
        <source>Name</source>
        <translation>Name</translation></message>
    <message>
        <source>Please enter your name.</source>
        <translation>Bitte geben Sie Ihren Namen ein.</translation></message>
    <message>
        <source>E-mail</source>
        <translation>E-Mail</translation></message>
    <message>
        <source>Contact number</source>
        <translation>Telefonnummer</translation></message>
    <message>
        <source>Ticket number</source>
        <translation>Ticketnummer</translation></message>
    <message>
        <source>Message</source>
        <translation>Nachricht</translation></message>
    <message>
        <source>Your report holds what you type here and two trace logs: this application's trace and the backup service's trace (when your account may read it). They list the names of files that were backed up; your appliance password is never in it.</source>
        <translation>Ihr Bericht enthält, was Sie hier eingeben, und zwei Ablaufprotokolle: das dieser Anwendung und das des Sicherungsdienstes (wenn Ihr Konto es lesen darf). Sie nennen die Namen gesicherter Dateien; Ihr Appliance-Passwort steht nie darin.</translation></message>
    <message>
        <source>Sending…</source>
        <translation>Wird gesendet …</translation></message>
    <message>
        <source>Save report…</source>
        <translation>Bericht speichern …</translation></message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation></message>
    <message>
        <source>Send</source>
        <translation>Senden</translation></message>
    <message>
        <source>Save the feedback report</source>
        <translation>Feedback-Bericht speichern</translation></message>
    <message>
        <source>Text files (*.txt)</source>
        <translation>Textdateien (*.txt)</translation></message>
    <message>
        <source>Zorvik Hollin feedback %1.txt</source>
        <translation>Zorvik Hollin Feedback %1.txt</translation></message>
    <message>
        <source>Sending reports is not set up on this computer. Save the report to a file and pass it on to whoever looks after your backups.</source>
        <translation>Das Senden von Berichten ist auf diesem Computer nicht eingerichtet. Speichern Sie den Bericht in einer Datei und geben Sie ihn an die Person weiter, die Ihre Sicherungen betreut.</translation></message>
    <message>
        <source>Your report could not be sent (%1). Nothing you typed is lost: try again, or save the report to a file and pass it on to whoever looks after your backups.</source>
        <translation>Ihr Bericht konnte nicht gesendet werden (%1). Nichts von Ihrer Eingabe geht verloren: Versuchen Sie es erneut oder speichern Sie den Bericht in einer Datei und geben Sie ihn an die Person weiter, die Ihre Sicherungen betreut.</translation></message>
    <message>
        <source>Report saved to %1.</source>
        <translation>Bericht unter %1 gespeichert.</translation></message>
    <message>
        <source>The report could not be saved to %1 (%2).</source>
        <translation>Der Bericht konnte nicht unter %1 gespeichert werden (%2).</translation></message>
</context>
<context>
    <name>StatusController</name>
    <message>
        <source>Zorvik Hollin</source>
        <translation>Zorvik Hollin</translation></message>
    <message>
        <source>Local backup</source>
        <translation>Lokale Sicherung</translation></message>
    <message>
        <source>Files uploaded:</source>
        <translation>Dateien:</translation></message>
    <message>
        <source>Uploaded:</source>
        <translation>Hochgeladen:</translation></message>
    <message>
        <source>Uploading:</source>
        <translation>Aktuell:</translation></message>
    <message>
        <source>Time left:</source>
        <translation>Restzeit:</translation></message>
    <message>
        <source>Start Local Backup</source>
        <translation>Lokale Sicherung starten</translation></message>
    <message>
        <source>Pause</source>
        <translation>Anhalten</translation></message>
    <message>
        <source>Restore</source>
        <translation>Wiederherstellen</translation></message>
    <message>
        <source>View Logs</source>
        <translation>Protokolle anzeigen</translation></message>
    <message>
        <source>Time Machine</source>
        <translation>Time Machine</translation></message>
    <message>
        <source>Name:</source>
        <translation>Name:</translation></message>
    <message>
        <source>Kind:</source>
        <translation>Art:</translation></message>
    <message>
        <source>URL:</source>
        <translation>URL:</translation></message>
    <message>
        <source>Mount Point:</source>
        <translation>Einhängepunkt:</translation></message>
    <message>
        <source>Configure Time Machine</source>
        <translation>Time Machine einrichten</translation></message>
    <message>
        <source>Stop</source>
        <translation>Stoppen</translation></message>
    <message>
        <source>Initialize your backup</source>
        <translation>Initialisieren Sie Ihre Sicherung</translation></message>
    <message>
        <source>Backing up files / folders to Zorvik Hollin device</source>
        <translation>Dateien / Ordner werden auf das Zorvik-Hollin-Gerät gesichert</translation></message>
    <message>
        <source>Processing...</source>
        <translation>Wird verarbeitet …</translation></message>
    <message>
        <source>Protect all your data locally to Zorvik Hollin.
Initializing backup.
This might take from a few minutes to a few hours..</source>
        <translation>Schützen Sie alle Ihre Daten lokal mit Zorvik Hollin.
Sicherung wird initialisiert.
Das kann einige Minuten bis einige Stunden dauern.</translation></message>
    <message>
        <source>Time Machine backup is not configured</source>
        <translation>Die Time-Machine-Sicherung ist nicht eingerichtet</translation></message>
    <message>
        <source>Time Machine Backup is Configured!</source>
        <translation>Die Time-Machine-Sicherung ist eingerichtet!</translation></message>
    <message>
        <source>Time Machine Backup is configured!</source>
        <translation>Die Time-Machine-Sicherung ist eingerichtet.</translation></message>
    <message>
        <source>Your Time Machine backup is currently stopped.</source>
        <translation>Ihre Time-Machine-Sicherung ist zurzeit gestoppt.</translation></message>
    <message>
        <source>Backup your data to the Hollin appliance using Time Machine</source>
        <translation>Sichern Sie Ihre Daten mit Time Machine auf der Hollin-Appliance</translation></message>
    <message>
        <source>processing...</source>
        <translation>wird verarbeitet …</translation></message>
    <message>
        <source>Error: Enable to fetch details</source>
        <translation>Fehler: Details konnten nicht abgerufen werden</translation></message>
    <message>
        <source>Resume</source>
        <translation>Fortsetzen</translation></message>
    <message>
        <source>%1 in this backup</source>
        <translation>%1 in dieser Sicherung</translation></message>
    <message>
        <source>at least %1 in this backup</source>
        <translation>mindestens %1 in dieser Sicherung</translation></message>
    <message>
        <source>Start</source>
        <translation>Starten</translation></message>
    <message>
        <source>The Time Machine tool could not be started.</source>
        <translation>Das Time-Machine-Werkzeug konnte nicht gestartet werden.</translation></message>
    <message>
        <source>Last backup completed: %1</source>
        <translation>Letzte Sicherung abgeschlossen: %1</translation></message>
    <message>
        <source>No backup completed yet</source>
        <translation>Noch keine Sicherung abgeschlossen</translation></message>
</context>
<context>
    <name>StatusTexts</name>
    <message>
        <source>Backup is in progress!</source>
        <translation>Sicherung läuft!</translation></message>
    <message>
        <source>Your backup is currently paused.</source>
        <translation>Ihre Sicherung ist zurzeit angehalten.</translation></message>
    <message>
        <source>Click 'Resume' to backup your data.</source>
        <translation>Klicken Sie auf „Fortsetzen“, um Ihre Daten zu sichern.</translation></message>
    <message>
        <source>No files / folders for backup!</source>
        <translation>Keine Dateien / Ordner zu sichern!</translation></message>
    <message>
        <source>Up to date</source>
        <translation>Auf dem neuesten Stand</translation></message>
    <message>
        <source>Nothing is waiting to be backed up.
Last backup completed: %1</source>
        <translation>Nichts wartet auf die Sicherung.
Letzte Sicherung abgeschlossen: %1</translation></message>
</context>
<context>
    <name>SynchronousWrapper</name>
    <message>
        <source>Authentication was refused</source>
        <translation>Die Anmeldung wurde abgelehnt</translation></message>
</context>
<context>
    <name>TimeMachine</name>
    <message>
        <source>Time Machine</source>
        <translation>Time Machine</translation></message>
    <message>
        <source>Time Machine could not be set up automatically. Enter the name of the Time Machine share on your Hollin appliance.</source>
        <translation>Time Machine konnte nicht automatisch eingerichtet werden. Geben Sie den Namen der Time-Machine-Freigabe auf Ihrer Hollin-Appliance ein.</translation></message>
    <message>
        <source>Share name</source>
        <translation>Name der Freigabe</translation></message>
    <message>
        <source>Time Machine is configured to back up to your Hollin appliance.</source>
        <translation>Time Machine sichert jetzt auf Ihre Hollin-Appliance.</translation></message>
    <message>
        <source>Time Machine could not be configured with this share. Check the name and try again.</source>
        <translation>Time Machine konnte mit dieser Freigabe nicht eingerichtet werden. Prüfen Sie den Namen und versuchen Sie es erneut.</translation></message>
    <message>
        <source>Configure</source>
        <translation>Einrichten</translation></message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation></message>
    <message>
        <source>OK</source>
        <translation>OK</translation></message>
    <message>
        <source>The snapshot backup (Time Machine) could not be set up automatically. Enter the name of the share on your Hollin appliance that takes snapshot backups: it becomes this computer's snapshot-backup destination.</source>
        <translation>Die Schnappschuss-Sicherung (Time Machine) konnte nicht automatisch eingerichtet werden. Geben Sie den Namen der Freigabe auf Ihrer Hollin-Appliance ein, die Schnappschuss-Sicherungen aufnimmt: Sie wird das Schnappschuss-Sicherungsziel dieses Computers.</translation></message>
    <message>
        <source>The share on your Hollin appliance is now this computer's snapshot-backup destination. The status window shows its details.</source>
        <translation>Die Freigabe auf Ihrer Hollin-Appliance ist jetzt das Schnappschuss-Sicherungsziel dieses Computers. Das Statusfenster zeigt die Einzelheiten.</translation></message>
    <message>
        <source>The share “%1” could not be made the snapshot-backup destination. Check the share's name with your admin and press Configure again.</source>
        <translation>Die Freigabe „%1“ konnte nicht zum Schnappschuss-Sicherungsziel gemacht werden. Klären Sie den Namen der Freigabe mit Ihrem Administrator und drücken Sie erneut auf „Einrichten“.</translation></message>
    <message>
        <source>Snapshot backup (Time Machine)</source>
        <translation>Schnappschuss-Sicherung (Time Machine)</translation></message>
    <message>
        <source>No snapshot-backup destination yet: configure it below.</source>
        <translation>Noch kein Schnappschuss-Sicherungsziel: Richten Sie es unten ein.</translation></message>
    <message>
        <source>The snapshot tool did not start: reinstall Zorvik Hollin.</source>
        <translation>Das Schnappschuss-Werkzeug ist nicht gestartet: Installieren Sie Zorvik Hollin neu.</translation></message>
    <message>
        <source>The snapshot-backup destination is unreadable: set it below.</source>
        <translation>Das Schnappschuss-Sicherungsziel ist nicht lesbar: Legen Sie es unten fest.</translation></message>
</context>
<context>
    <name>VersionsDialog</name>
    <message>
        <source>in 1 snapshot</source>
        <translation>in 1 Schnappschuss</translation></message>
    <message>
        <source>in %1 snapshots</source>
        <translation>in %1 Schnappschüssen</translation></message>
    <message>
        <source>1 version %1.</source>
        <translation>1 Version %1.</translation></message>
    <message>
        <source>%1 different versions %2.</source>
        <translation>%1 verschiedene Versionen %2.</translation></message>
    <message>
        <source>Versions of “%1”</source>
        <translation>Versionen von „%1“</translation></message>
    <message>
        <source>Every copy of “%1” the appliance keeps, newest first. Copies that did not change between snapshots are one row.</source>
        <translation>Jede Kopie von „%1“, die die Appliance aufbewahrt, die neueste zuerst. Kopien, die sich zwischen Schnappschüssen nicht geändert haben, stehen in einer Zeile.</translation></message>
    <message>
        <source>Looking for the versions…</source>
        <translation>Versionen werden gesucht …</translation></message>
    <message>
        <source>Snapshot</source>
        <translation>Schnappschuss</translation></message>
    <message>
        <source>Size</source>
        <translation>Größe</translation></message>
    <message>
        <source>Modified</source>
        <translation>Geändert</translation></message>
    <message>
        <source>Kept in</source>
        <translation>Aufbewahrt in</translation></message>
    <message>
        <source>Restore Beside the Original</source>
        <translation>Neben dem Original wiederherstellen</translation></message>
    <message>
        <source>Restore To…</source>
        <translation>Wiederherstellen nach …</translation></message>
    <message>
        <source>Folder</source>
        <translation>Ordner</translation></message>
    <message>
        <source>the live backup</source>
        <translation>der laufenden Sicherung</translation></message>
    <message>
        <source>1 snapshot</source>
        <translation>1 Schnappschuss</translation></message>
    <message>
        <source>%1 snapshots, back to %2</source>
        <translation>%1 Schnappschüssen, zurück bis %2</translation></message>
    <message>
        <source>The versions could not be listed: %1</source>
        <translation>Die Versionen konnten nicht aufgelistet werden: %1</translation></message>
    <message>
        <source>“%1” is not on the appliance and not in any snapshot yet.</source>
        <translation>„%1“ ist weder auf der Appliance noch in einem Schnappschuss.</translation></message>
    <message>
        <source>“%1” is not in any snapshot yet; the appliance has only its live copy.</source>
        <translation>„%1“ ist noch in keinem Schnappschuss; die Appliance hat nur die aktuelle Kopie.</translation></message>
    <message>
        <source>Restore To</source>
        <translation>Wiederherstellen nach</translation></message>
    <message>
        <source>Now (on the appliance)</source>
        <translation>Jetzt (auf der Appliance)</translation></message>
    <message>
        <source>appliance copy</source>
        <translation>Kopie der Appliance</translation></message>
    <message>
        <source>This is an item of the computer “%1”, not of this one: “Restore To…” asks for the folder to restore it into.</source>
        <translation>Dies ist ein Objekt des Computers „%1“, nicht dieses Computers: „Wiederherstellen nach …“ fragt nach dem Ordner, in den es wiederhergestellt wird.</translation></message>
</context>
</TS>