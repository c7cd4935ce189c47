// The console page in a real browser (headless Chromium driven by puppeteer-core):
// answers the operator's boxes of an unregistered application (the error box and the
// identification dialog) in the page, sells a coupon through it, and keeps a screenshot.
//   node console_test.mjs URL SCREENSHOT
import puppeteer from "puppeteer-core";

const [url, screenshot] = process.argv.slice(2);
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
const fail = async (why) => {
  console.error("FAILED: " + why);
  await browser.close();
  process.exit(1);
};
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 1000 });
  page.on("pageerror", (e) => console.error("page error: " + e.message));
  await page.goto(url, { waitUntil: "load" });
  await page.waitForSelector("body[data-events=open]", { timeout: 15000 });
  const message = () => page.$eval("#message", (m) => m.textContent);
  const waitMessage = async (text) => {
    await page.waitForFunction((t) => document.getElementById("message").textContent.startsWith(t), { timeout: 20000 }, text)
      .catch(async () => fail("expected '" + text + "', the page says '" + (await message()) + "'; boxes: " +
        (await page.$eval("#boxes", (b) => b.innerText))));
  };

  // An unregistered application: the page's first reading of the printer brings the
  // library's boxes (the registration error, then the identification dialog) to the page.
  await page.waitForSelector(".box[data-kind=message] button[data-answer=ok]", { timeout: 15000 });
  const caption = await page.$eval(".box[data-kind=message] h3", (h) => h.textContent);
  if (caption !== "ERRO CADASTRO") await fail("the box is '" + caption + "'");
  await page.click(".box[data-kind=message] button[data-answer=ok]");
  await page.waitForSelector(".box[data-kind=identify]", { timeout: 15000 });
  const fields = {
    factoryNumber: "MS0300019", developerId: "12345678000199", stateReg: "111222333", cityReg: "4455",
    softwareHouse: "Moldrin Testes", coo: "1", orderNumber: "1", appName: "Caixa Navegador", appVersion: "1.0",
    programData: "frente de loja",
  };
  for (const [name, value] of Object.entries(fields)) {
    const selector = ".box[data-kind=identify] input[name=" + name + "]";
    await page.$eval(selector, (i) => (i.value = ""));
    await page.type(selector, value);
  }
  await page.click(".box[data-kind=identify] button[data-answer=ok]");
  await page.waitForFunction(() => !document.getElementById("boxes").classList.contains("shown"), { timeout: 10000 });

  // The coupon, sold through the page's forms.
  await page.type("#sell-description", "PAO FRANCES");
  await page.$eval("#sell-quantity", (i) => (i.value = "2"));
  await page.$eval("#sell-price", (i) => (i.value = "1.50"));
  await page.click("#sell-button");
  await waitMessage("sell-item: ok (item 1)");

  await page.$eval("#pay-amount", (i) => (i.value = "5.00"));
  await page.click("#pay-button");
  await waitMessage("pay: ok change 2.00");
  await page.click("#close-button");
  await waitMessage("close-coupon: ok");
  await page.waitForFunction(() => document.getElementById("coupon").dataset.document === "none", { timeout: 10000 });
  await page.waitForFunction(() => [...document.querySelectorAll("#journal td")].some((t) => t.textContent === "close-coupon"),
    { timeout: 10000 });
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log("console: coupon sold through the page, boxes answered in it; screenshot " + screenshot);
} catch (e) {
  await fail(String(e));
}
await browser.close();
