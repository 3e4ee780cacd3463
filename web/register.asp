<!doctype html>
<html lang="en">
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <title>Registration · Home control</title>
  <link rel="stylesheet" href="css/style.css">
  <script type="module" src="js/register.js"></script>
</head>
<body>
  <header class="bar">
    <h1>Connection to the controller</h1>
    <nav class="views" aria-label="Views">
      <a href="./">Back to the page</a>
      <a href="help.htm">Help</a>
    </nav>
  </header>
  <main>
    <p id="notice" class="notice" role="alert" hidden></p>
    <p id="gate" class="card" hidden></p>

    <form id="setup" class="card setup" hidden>
      <fieldset>
        <legend>How the server reaches the controller</legend>
        <div id="transports" class="choices"></div>
      </fieldset>

      <fieldset id="serial" hidden>
        <legend>Serial line</legend>
        <label for="serial-port">Port number</label>
        <input id="serial-port" type="number" min="1" max="255" required>
        <label for="serial-baud">Speed (baud)</label>
        <select id="serial-baud">
          <option>300</option><option>1200</option><option>2400</option><option>4800</option>
          <option>9600</option><option>19200</option><option>38400</option>
        </select>
      </fieldset>

      <fieldset id="network" hidden>
        <legend>Network</legend>
        <label for="network-address">Controller's address</label>
        <input id="network-address" spellcheck="false" required>
        <label for="network-port">Port</label>
        <input id="network-port" type="number" min="1" max="65535" required>
        <label for="network-key">Private key (16 hex pairs, as the controller shows it)</label>
        <input id="network-key" spellcheck="false" autocomplete="off">
      </fieldset>

      <fieldset>
        <legend>Access</legend>
        <label for="access-code">Controller access code (leave empty to keep it)</label>
        <input id="access-code" type="password" inputmode="numeric" autocomplete="off">
      </fieldset>

      <fieldset>
        <legend>At each start</legend>
        <div class="check"><input type="checkbox" id="flag-setup">
          <label for="flag-setup">Download the setup</label></div>
        <div class="check"><input type="checkbox" id="flag-names">
          <label for="flag-names">Download the names</label></div>
        <div class="check"><input type="checkbox" id="flag-time">
          <label for="flag-time">Set the controller's clock</label></div>
      </fieldset>

      <div class="actions">
        <button type="submit" id="save" class="primary">Save</button>
      </div>
      <p id="result" role="status"></p>
    </form>

    <section id="tokens" class="card setup" aria-labelledby="tokens-title" hidden>
      <h2 id="tokens-title">Tokens</h2>
      <p>Programs that reach the server over the network (scripts, home automation) sign in with
        a token instead of a person's code. Each token has a role: <em>read</em> looks,
        <em>control</em> also arms, disarms and switches, <em>admin</em> also changes these
        settings. A removed token stops working at once.</p>
      <table class="tokens">
        <caption class="visually-hidden">Tokens</caption>
        <thead><tr><th scope="col">Name</th><th scope="col">Role</th><th scope="col">Made</th>
          <th scope="col"><span class="visually-hidden">Remove</span></th></tr></thead>
        <tbody id="token-rows"></tbody>
      </table>
      <p id="token-none" hidden>No tokens yet.</p>

      <form id="token-add" class="token-add">
        <div class="field">
          <label for="token-name">Name</label>
          <input id="token-name" required maxlength="64" pattern="[A-Za-z0-9._\-]{1,64}"
                 spellcheck="false" autocomplete="off" aria-describedby="token-name-hint">
          <span id="token-name-hint" class="hint">Letters, digits, dot, dash and underscore</span>
        </div>
        <div class="field">
          <label for="token-role">Role</label>
          <select id="token-role">
            <option value="read">read</option>
            <option value="control" selected>control</option>
            <option value="admin">admin</option>
          </select>
        </div>
        <button type="submit" id="token-add-button">Add token</button>
      </form>

      <div id="token-new" class="new-token" role="region" aria-labelledby="token-new-title" hidden>
        <h3 id="token-new-title">New token</h3>
        <p class="warning"><strong>It is shown only this once.</strong> Copy it now and keep it
          where the program can use it: the server keeps no copy it could show again.</p>
        <label for="token-value">Token</label>
        <div class="copy">
          <input id="token-value" readonly spellcheck="false" autocomplete="off">
          <button type="button" id="token-copy">Copy</button>
        </div>
        <p id="token-copied" role="status"></p>
        <div class="actions"><button type="button" id="token-done">Done</button></div>
      </div>
      <p id="token-result" role="status"></p>
    </section>
  </main>

  <dialog id="token-confirm" aria-labelledby="token-confirm-title">
    <form method="dialog">
      <h2 id="token-confirm-title">Remove token?</h2>
      <p id="token-confirm-what"></p>
      <div class="actions">
        <button type="button" id="token-confirm-cancel">Cancel</button>
        <button type="submit" value="remove" id="token-confirm-remove" class="danger">Remove</button>
      </div>
    </form>
  </dialog>
</body>
</html>
