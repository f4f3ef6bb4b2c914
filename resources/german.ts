<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>HTMLContentDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Vorna-Base Flasher Tool</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>An error has occured while opening the selected file.</source>
        <translation>Bei dem Laden der angegebenen Datei ist ein Fehler aufgetreten.</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Connection Error</source>
        <translation>Verbindungsfehler</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>Firmware Files (*.hex)</source>
        <translation>Firmware Datein (*.hex)</translation>
    </message>
    <message>
        <source>Flash</source>
        <translation>Flash</translation>
    </message>
    <message>
        <source>Flash Error</source>
        <translation>Schreibfehler</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>License</source>
        <translation>Lizenzen</translation>
    </message>
    <message>
        <source>Licenses</source>
        <translation>Lizenzen</translation>
    </message>
    <message>
        <source>MainWindow</source>
        <translation>Vorna-Base Flasher Tool</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>Select Firmware</source>
        <translation>Firmware auswählen</translation>
    </message>
    <message>
        <source>Success!</source>
        <translation>Erfolgreich!</translation>
    </message>
    <message>
        <source>The com connection could not be established</source>
        <translation>Die serielle Verbindung konnte nicht aufgebaut werden.</translation>
    </message>
    <message>
        <source>The firmware file could not be uploaded</source>
        <translation>Die Firmware konnte nicht auf das Gerät geschrieben werden.</translation>
    </message>
    <message>
        <source>This software is distributed by Kembit 
 Version: 1.0</source>
        <translation>Diese Software wird von Kembit bereitgestellt.
Version: 1.0.0</translation>
    </message>
    <message>
        <source>Unable to open empty file</source>
        <translation>Die Datei konnte nicht geladen werden.</translation>
    </message>
    <message>
        <source>connect</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>flash</source>
        <translation>Flash</translation>
    </message>
    <message>
        <source>open</source>
        <translation>Open</translation>
    </message>
</context>
</TS>
