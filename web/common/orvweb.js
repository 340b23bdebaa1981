// The one script of the UI pages of every language. A language's page holds
// only its texts (the hidden list "Texts": a name, then its text) and names
// its kind on the root element (main-page, options-page); the markup lives
// here once, so the languages cannot drift apart in what the program binds
// to. "{{name}}" marks where a text goes; texts are escaped into the markup.
(function () {
  'use strict';

  var PAGES = {
    'main-page': `
    <div class="app">
      <section class="hero">
        <button type="button" id="RecordButton"
                title="{{startTip}}" aria-label="{{startTip}}">
          <span class="icon icon-rec rec-glyph" aria-hidden="true"></span>
          <span class="icon icon-stop stop-glyph" aria-hidden="true"></span>
          <span class="rec-text">{{record}}</span>
        </button>
        <div class="info">
          <p class="eyebrow" id="NowPlayingCaption">{{nowPlaying}}</p>
          <h1 id="NowPlaying" aria-live="polite">{{waiting}}</h1>
          <div class="status" role="status">
            <span class="dot" aria-hidden="true"></span>
            <span class="idle-text">{{ready}}</span>
            <span id="RecordLabel"></span>
          </div>
        </div>
        <input type="hidden" id="IsRecording" value="0">
      </section>

      <section class="levels">
        <div id="GaugeTable">
          <span class="caption" aria-hidden="true">{{inputLevel}}</span>
          <div class="meter" aria-hidden="true"><div id="RecGauge"></div></div>
        </div>
        <div class="volume" role="group" aria-label="{{level}}">
          <span class="label">{{level}}</span>
          <div class="linked">
            <button type="button" id="VolumeDec" class="step" title="{{lowerTip}}" aria-label="{{lowerTip}}">
              <span class="icon icon-minus" aria-hidden="true"></span>
            </button>
            <button type="button" id="VolumeInc" class="step" title="{{raiseTip}}" aria-label="{{raiseTip}}">
              <span class="icon icon-plus" aria-hidden="true"></span>
            </button>
          </div>
        </div>
      </section>

      <section class="logbox">
        <label class="caption" for="Log">{{activity}}</label>
        <textarea id="Log" readonly spellcheck="false" rows="8" cols="80"></textarea>
      </section>

      <nav class="toolbar">
        <button type="button" id="OptionsButton" class="flat" title="{{optionsTip}}" aria-label="{{optionsTip}}">
          <span class="icon icon-options" aria-hidden="true"></span>
          <span>{{options}}</span>
        </button>
        <button type="button" id="OpenSongsButton" class="flat" title="{{songsTip}}" aria-label="{{songsTip}}">
          <span class="icon icon-folder" aria-hidden="true"></span>
          <span>{{songsFolder}}</span>
        </button>
        <button type="button" id="HelpButton" class="flat end" title="{{helpTip}}" aria-label="{{helpTip}}">
          <span class="icon icon-help" aria-hidden="true"></span>
          <span>{{help}}</span>
        </button>
      </nav>
    </div>
    `,
    'options-page': `
    <div class="dialog">
      <div class="form">
        <label class="key" for="AudioSource">{{audioSource}}</label>
        <div class="field">
          <select id="AudioSource" title="{{sourceTip}}"></select>
          <span class="icon icon-chevron chevron" aria-hidden="true"></span>
        </div>

        <label class="key" for="AudioInput">{{input}}</label>
        <div class="field">
          <select id="AudioInput" title="{{inputTip}}"></select>
          <span class="icon icon-chevron chevron" aria-hidden="true"></span>
        </div>

        <label class="key" for="SongsFolder">{{songsFolder}}</label>
        <div class="folder">
          <input type="text" id="SongsFolder" spellcheck="false" autocomplete="off">
          <button type="button" id="ButtonBrowse" class="button" title="{{browseTip}}" aria-label="{{browseTip}}">
            <span class="icon icon-folder" aria-hidden="true"></span>
          </button>
        </div>

        <span class="key" id="FormatKey">Format</span>
        <div class="choices" role="radiogroup" aria-labelledby="FormatKey">
          <span class="choice">
            <input type="radio" id="FormatLameEnc" name="OutputFormat" value="1">
            <label for="FormatLameEnc" id="LameTitle">MP3 (LAME)</label>
          </span>
          <span class="choice">
            <input type="radio" id="FormatWMA" name="OutputFormat" value="2" checked>
            <label for="FormatWMA">WMA</label>
          </span>
        </div>

        <span class="key"></span>
        <span class="choice">
          <input type="checkbox" id="ShowRecordLevel" checked>
          <label for="ShowRecordLevel">{{showLevel}}</label>
        </span>
      </div>

      <div class="actions">
        <button type="button" id="ButtonCancel" class="button">{{cancel}}</button>
        <button type="button" id="ButtonOK" class="button default">OK</button>
      </div>
    </div>
    `
  };

  var T = {};
  var list = document.getElementById('Texts');
  if (list) {
    for (var dt = list.querySelector('dt'); dt; dt = dt.nextElementSibling) {
      if (dt.tagName === 'DT' && dt.nextElementSibling) T[dt.textContent.trim()] = dt.nextElementSibling.textContent.trim();
    }
    list.remove();
  }
  function escape(s) {
    return String(s).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');
  }
  var root = document.documentElement;
  for (var kind in PAGES) {
    if (!root.classList.contains(kind)) continue;
    // Built while the page is parsed, so every element is there before the
    // document reports itself complete.
    document.body.insertAdjacentHTML('afterbegin', PAGES[kind].replace(/\{\{(\w+)\}\}/g, function (_, name) {
      return escape(name in T ? T[name] : name);
    }));
  }

  // Main window: the program writes "1"/"0" into IsRecording and fires a
  // change event after each write; the record button's look follows it.
  var flag = document.getElementById('IsRecording');
  var button = document.getElementById('RecordButton');
  if (flag && button) {
    var text = button.querySelector('.rec-text');
    var follow = function () {
      var on = flag.value === '1';
      document.body.classList.toggle('recording', on);
      if (text) text.textContent = on ? T.stop : T.record;
      var tip = on ? T.stopTip : T.startTip;
      button.title = tip;
      button.setAttribute('aria-label', tip);
    };
    flag.addEventListener('change', follow);
    flag.addEventListener('input', follow);
    follow();
  }

  // Options: Enter anywhere but on a button accepts the dialog, Escape
  // cancels it; the program acts on the click of these two buttons.
  var ok = document.getElementById('ButtonOK');
  var cancel = document.getElementById('ButtonCancel');
  if (ok && cancel) {
    document.addEventListener('keydown', function (e) {
      if (e.defaultPrevented || e.isComposing || e.altKey || e.ctrlKey || e.metaKey) return;
      var target = e.target;
      if (e.key === 'Enter') {
        if (target && (target.tagName === 'BUTTON' || target.tagName === 'TEXTAREA')) return;
        e.preventDefault();
        ok.click();
      } else if (e.key === 'Escape') {
        e.preventDefault();
        cancel.click();
      }
    });
  }
})();
