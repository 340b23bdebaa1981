<!DOCTYPE html>
<html lang="de">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Orvello: Hilfe</title>
<style>
:root { color-scheme: light dark; --bg: #fafafa; --text: #1e1e1e; --dim: rgba(0,0,0,.6); --accent: #1c71d8; --card: #ffffff; --border: rgba(0,0,0,.12); }
@media (prefers-color-scheme: dark) { :root { --bg: #242424; --text: #fff; --dim: rgba(255,255,255,.65); --accent: #78aeed; --card: #1e1e1e; --border: rgba(255,255,255,.14); } }
body { margin: 0; background: var(--bg); color: var(--text); font: 16px/1.6 system-ui, "Cantarell", "Noto Sans", "DejaVu Sans", sans-serif; }
main { max-width: 760px; margin: 0 auto; padding: 32px 24px 64px; }
h1 { font-size: 28px; margin: 0 0 8px; }
h2 { font-size: 20px; margin: 32px 0 8px; }
p.lead { color: var(--dim); margin: 0 0 24px; }
a { color: var(--accent); }
nav ul { columns: 2; padding-left: 20px; }
code, kbd { font: 14px ui-monospace, "DejaVu Sans Mono", monospace; background: var(--card); border: 1px solid var(--border); border-radius: 4px; padding: 0 4px; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; vertical-align: top; padding: 6px 8px; border-bottom: 1px solid var(--border); }
.note { background: var(--card); border: 1px solid var(--border); border-radius: 8px; padding: 12px 16px; }
</style>
</head>
<body>
<main>
<h1>Orvello: Hilfe</h1>
<p class="lead">Der Rekorder speichert jeden Song eines Internetradio-Streams als eigene Datei, benannt nach Interpret und Titel.</p>
<nav><ul>
<li><a href="#what">Was der Rekorder tut</a></li>
<li><a href="#source">Die Audioquelle einrichten</a></li>
<li><a href="#player">Player und Plug-in</a></li>
<li><a href="#folder">Song-Ordner und Dateinamen</a></li>
<li><a href="#rules">Wann eine Aufnahme von selbst endet</a></li>
<li><a href="#formats">Formate</a></li>
<li><a href="#window">Fenster und Infobereich</a></li>
<li><a href="#trouble">Fehlerbehebung</a></li>
</ul></nav>

<h2 id="what">Was der Rekorder tut</h2>
<p>Während ein Mediaplayer einen Stream abspielt, nimmt der Rekorder den Klang auf, den Ihr Rechner wiedergibt, und verfolgt, was der Player gerade als laufenden Titel meldet. Bei jedem Songwechsel wird die aktuelle Datei geschlossen und eine neue begonnen: So landet jeder Song in einer eigenen Datei, versehen mit Interpret und Titel. Mit <strong>Aufnahme</strong> starten Sie, mit <strong>Stopp</strong> beenden Sie die Aufnahme. Die Zeit neben der Schaltfläche zeigt, wie lange die Aufnahme schon läuft.</p>

<h2 id="source">Die Audioquelle einrichten</h2>
<p>Öffnen Sie <strong>Optionen</strong> und wählen Sie als <strong>Audioquelle</strong> den <em>Monitor</em> der Ausgabe, auf der Ihr Player spielt (zum Beispiel „Monitor of Built-in Audio Analog Stereo“). Ein Monitor enthält genau das, was an die Lautsprecher geht; die Aufnahme ist daher eine saubere digitale Kopie. Wählen Sie dann den <strong>Eingang</strong> dieser Quelle, meist den einzigen angebotenen. Die Anzeige <strong>Eingangspegel</strong> im Hauptfenster zeigt den Pegel, während der Stream läuft; mit <strong>−</strong> und <strong>+</strong> neben <strong>Aufnahmepegel</strong> stellen Sie ihn so ein, dass laute Stellen nicht in den roten Bereich reichen.</p>
<p>Beim ersten Start bittet Sie der Rekorder, diese Optionen einzustellen, bevor er aufnehmen kann.</p>

<h2 id="player">Player und Plug-in</h2>
<p>Interpret und Titel erfährt der Rekorder über ein kleines Plug-in vom Player. Jeder Player, der seine Wiedergabeinformationen über die Mediaplayer-Schnittstelle des Desktops (MPRIS) veröffentlicht, ist geeignet: Der Plug-in-Host <code>orvweb-mpris-host</code> lädt das Plug-in und versorgt es mit den Daten des Players. Sobald das Plug-in läuft, meldet das Protokoll „Windows Media Player Plugin läuft.“ Wird der Player gefunden, das Plug-in meldet sich aber nicht, fordert der Rekorder Sie auf, es zu aktivieren.</p>

<h2 id="folder">Song-Ordner und Dateinamen</h2>
<p>Die Songs werden im Ordner <strong>Orvello Songs</strong> in Ihrem Musikordner gespeichert (meist <code>~/Musik/Orvello Songs</code>), sofern Sie in den <strong>Optionen</strong> keinen anderen Ordner wählen. <strong>Song-Ordner</strong> im Hauptfenster öffnet ihn in der Dateiverwaltung.</p>
<p>Jede Datei heißt <code>Interpret - Titel</code> mit der Endung <code>.mp3</code> oder <code>.wma</code>. Die Zeichen <code>/ \ : * ? " &lt; &gt; |</code> werden durch Leerzeichen ersetzt. Sind weder Interpret noch Titel bekannt, heißt die Datei <code>song</code> mit Datum und Uhrzeit, etwa <code>song261209183005.mp3</code>. Ein Song, der bereits im Ordner liegt, wird nicht von einer kürzeren Aufnahme gleichen Namens überschrieben.</p>

<h2 id="rules">Wann eine Aufnahme von selbst endet</h2>
<table>
<tr><th>Regel</th><th>Was geschieht</th></tr>
<tr><td>Mindestlänge</td><td>Ein Song unter 40 Sekunden (etwa ein abgeschnittener Anfang oder ein Jingle) wird an seinem Ende gelöscht; das Protokoll meldet „Letze Aufnahme war zu kurz und wurde daher gelöscht.“</td></tr>
<tr><td>21 Minuten</td><td>Läuft ein einzelner Song 21 Minuten oder länger, endet die Aufnahme: Der Stream sendet dann vermutlich keine Titel mehr.</td></tr>
<tr><td>2 Minuten Stille</td><td>Nach zwei Minuten ohne Ton endet die Aufnahme, damit ein hängender Stream nicht die Festplatte füllt.</td></tr>
</table>
<p>Mit <strong>Aufnahme</strong> nehmen Sie danach wieder auf.</p>

<h2 id="formats">Formate</h2>
<p><strong>MP3</strong> nutzt die Encoder-Bibliothek LAME (unter Debian das Paket <code>libmp3lame0</code>); ist sie installiert, zeigen die Optionen ihre Version, sonst ist die MP3-Auswahl ausgegraut. MP3-Dateien erhalten ein ID3-Tag mit Interpret und Titel. <strong>WMA</strong> (Windows Media Audio, 128 kbit/s) braucht nichts weiter.</p>

<h2 id="window">Fenster und Infobereich</h2>
<p>Wird das Fenster minimiert, wechselt der Rekorder in den Infobereich (Tray); eine laufende Aufnahme geht weiter. Ein Doppelklick auf das Symbol holt das Fenster zurück. Während der Aufnahme trägt das Symbol einen roten Punkt, und sein Tooltip zeigt die Aufnahmezeit. <kbd>F1</kbd> im Hauptfenster öffnet diese Hilfe. Ziehen Sie an einer beliebigen freien Stelle des Fensters, um es zu verschieben.</p>

<h2 id="trouble">Fehlerbehebung</h2>
<table>
<tr><th>Problem</th><th>Abhilfe</th></tr>
<tr><td>Die Pegelanzeige bewegt sich nicht</td><td>Prüfen Sie, ob der Player spielt und ob als <strong>Audioquelle</strong> der Monitor seiner Ausgabe gewählt ist. Sehen Sie in den Klangeinstellungen nach, dass diese Ausgabe nicht stummgeschaltet ist.</td></tr>
<tr><td>Dateien heißen <code>song…</code></td><td>Der Player meldet weder Interpret noch Titel: Prüfen Sie, ob der Plug-in-Host läuft und das Protokoll das Plug-in meldet.</td></tr>
<tr><td>Aufnahmen sind zu leise oder verzerrt</td><td>Stellen Sie den <strong>Aufnahmepegel</strong> mit <strong>−</strong> und <strong>+</strong> ein; das Protokoll zeigt den eingestellten Wert.</td></tr>
<tr><td>MP3 lässt sich nicht wählen</td><td>Installieren Sie die Encoder-Bibliothek LAME und öffnen Sie die <strong>Optionen</strong> erneut.</td></tr>
<tr><td>„Kann Userinterface nicht laden“</td><td>Das Programm findet seine Seiten nicht: Installieren Sie es neu, oder prüfen Sie, ob <code>ORVWEB_UI_BASE</code>, falls gesetzt, auf einen Ordner oder Server mit <code>en/</code> und <code>de/</code> zeigt.</td></tr>
</table>
</main>
</body>
</html>
