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

      <section aria-labelledby="tokens-title">
        <h2 id="tokens-title">Tokens for scripts</h2>
        <p>Programs that reach the server over the network use a token instead of a person's
          code. An administrator of the machine makes one with <code>zelctl token add NAME
          ROLE</code> and removes it with <code>zelctl token remove NAME</code>; this page
          cannot show or make them.</p>
      </section>
    </form>
  </main>
</body>
</html>
