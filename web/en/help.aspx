<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Orvello Web Edition: Help</title>
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
<h1>Orvello Web Edition: Help</h1>
<p class="lead">The recorder keeps every song of an internet radio stream as its own file, named after the artist and the title.</p>
<nav><ul>
<li><a href="#what">What the recorder does</a></li>
<li><a href="#source">Setting up the sound source</a></li>
<li><a href="#player">The player and the plug-in</a></li>
<li><a href="#folder">The songs folder and file names</a></li>
<li><a href="#rules">When a recording stops by itself</a></li>
<li><a href="#formats">Formats</a></li>
<li><a href="#window">The window and the tray</a></li>
<li><a href="#trouble">Troubleshooting</a></li>
</ul></nav>

<h2 id="what">What the recorder does</h2>
<p>While a media player plays a stream, the recorder captures the sound your computer plays and follows what the player reports as playing now. Each time the song changes, the current file is closed and a new one is started, so every song ends up in a file of its own, tagged with its artist and title. Press <strong>Record</strong> to start; press <strong>Stop</strong> to end the recording. The time beside the button shows how long the recording has been running.</p>

<h2 id="source">Setting up the sound source</h2>
<p>Open <strong>Options</strong> and choose, as <strong>Audio source</strong>, the <em>monitor</em> of the output your player plays to (for example “Monitor of Built-in Audio Analog Stereo”). A monitor carries exactly what goes to your speakers, so the recording is a clean digital copy. Then choose the <strong>Input</strong> of that source, usually the only one offered. The <strong>Input level</strong> meter of the main window shows the level while the stream plays; use the <strong>−</strong> and <strong>+</strong> buttons beside <strong>Recording level</strong> to adjust it so that loud passages stay out of the red.</p>
<p>On the first start the recorder asks you to set these options before it can record.</p>

<h2 id="player">The player and the plug-in</h2>
<p>The recorder learns the artist and title from the player through a small plug-in. Any player that publishes its now-playing information on the desktop's media-player interface (MPRIS) works: the plug-in host <code>orvweb-mpris-host</code> loads the plug-in and feeds it from the player. The log shows “Windows Media Player Plugin is detected.” once the plug-in runs. If the player is found but the plug-in does not report, the recorder tells you to activate it.</p>

<h2 id="folder">The songs folder and file names</h2>
<p>Songs are saved in <strong>Orvello Songs</strong> in your music folder (usually <code>~/Music/Orvello Songs</code>) unless you choose another folder in <strong>Options</strong>. <strong>Songs folder</strong> in the main window opens it in your file manager.</p>
<p>Each file is named <code>Artist - Title</code>, followed by <code>.mp3</code> or <code>.wma</code>. The characters <code>/ \ : * ? " &lt; &gt; |</code> are replaced by blanks. When neither artist nor title is known, the file is called <code>song</code> followed by the date and time, such as <code>song261209183005.mp3</code>. A song that is already in the folder is not overwritten by a shorter recording of the same name.</p>

<h2 id="rules">When a recording stops by itself</h2>
<table>
<tr><th>Rule</th><th>What happens</th></tr>
<tr><td>Minimum length</td><td>A song shorter than 40 seconds (for example a cut-off beginning or a jingle) is deleted when it ends; the log says “Last Song is too short and deleted.”</td></tr>
<tr><td>21 minutes</td><td>A single song that runs 21 minutes or longer stops the recording: the stream probably stopped sending titles.</td></tr>
<tr><td>2 minutes of silence</td><td>Two minutes without sound stop the recording, so a stalled stream does not fill your disk.</td></tr>
</table>
<p>Press <strong>Record</strong> again to continue.</p>

<h2 id="formats">Formats</h2>
<p><strong>MP3</strong> uses the LAME encoder library (on Debian the package <code>libmp3lame0</code>); the options show its version when it is installed, and the MP3 choice is greyed out when it is not. MP3 files carry an ID3 tag with artist and title. <strong>WMA</strong> (Windows Media Audio, 128 kbit/s) needs nothing extra.</p>

<h2 id="window">The window and the tray</h2>
<p>Minimising the window puts the recorder in the notification area (tray); a recording goes on. Double-click the tray icon to bring the window back. The icon shows a red dot while recording, and its tooltip shows the recording time. Press <kbd>F1</kbd> in the main window to open this help. Drag anywhere on the window's background to move it.</p>

<h2 id="trouble">Troubleshooting</h2>
<table>
<tr><th>Symptom</th><th>What to do</th></tr>
<tr><td>The meter does not move</td><td>Check that the player is playing and that <strong>Audio source</strong> is the monitor of the output it plays to. In the sound settings, see that this output is not muted.</td></tr>
<tr><td>Files are named <code>song…</code></td><td>The player reports no artist or title: check that the plug-in host is running and the log says the plug-in is detected.</td></tr>
<tr><td>Recordings are too quiet or distorted</td><td>Adjust <strong>Recording level</strong> with <strong>−</strong> and <strong>+</strong>; the log shows the level set.</td></tr>
<tr><td>MP3 cannot be chosen</td><td>Install the LAME encoder library, then reopen <strong>Options</strong>.</td></tr>
<tr><td>“Unable To Load User Interface”</td><td>The program could not find its pages: reinstall it, or check that <code>ORVWEB_UI_BASE</code>, if set, points at a folder or server holding <code>en/</code> and <code>de/</code>.</td></tr>
</table>
</main>
</body>
</html>
