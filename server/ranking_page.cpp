#include "server/ranking_page.h"

namespace sorvanta::server {

const std::string& RankingPageHtml() {
  static const std::string page = R"html(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>跑分排行榜</title>
<style>
  :root { --accent: #1f6feb; --line: #d0d7de; --muted: #57606a; }
  * { box-sizing: border-box; }
  body { margin: 0; font-family: system-ui, -apple-system, "Noto Sans CJK SC", "Microsoft YaHei", sans-serif;
         color: #1f2328; background: #f6f8fa; }
  header { background: var(--accent); color: #fff; padding: 16px; }
  header h1 { margin: 0; font-size: 1.4rem; }
  header p { margin: 4px 0 0; font-size: .85rem; opacity: .9; }
  nav { display: flex; gap: 4px; padding: 8px 8px 0; max-width: 1100px; margin: 0 auto; flex-wrap: wrap; }
  nav button { flex: 1 1 auto; min-width: 96px; padding: 10px 12px; font-size: 1rem; border: 1px solid var(--line);
               border-bottom: none; background: #eaeef2; border-radius: 6px 6px 0 0; cursor: pointer; }
  nav button.active { background: #fff; font-weight: 600; color: var(--accent); }
  main { max-width: 1100px; margin: 0 auto; background: #fff; border: 1px solid var(--line); min-height: 50vh; }
  section { display: none; padding: 8px; }
  section.active { display: block; }
  .scroll { overflow-x: auto; -webkit-overflow-scrolling: touch; }
  table { width: 100%; border-collapse: collapse; font-size: .95rem; }
  th, td { padding: 8px 6px; border-bottom: 1px solid var(--line); text-align: left; white-space: nowrap; }
  th { background: #f6f8fa; position: sticky; top: 0; }
  td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
  td.name { white-space: normal; min-width: 10em; }
  tr:nth-child(even) td { background: #fbfcfd; }
  .rank { width: 3em; color: var(--muted); }
  .empty, .note { color: var(--muted); padding: 12px 6px; font-size: .9rem; }
  @media (max-width: 600px) {
    header h1 { font-size: 1.15rem; }
    th, td { padding: 6px 4px; font-size: .85rem; }
    .wide { display: none; }
  }
</style>
</head>
<body>
<header>
  <h1>跑分排行榜</h1>
  <p id="updated">正在加载……</p>
</header>
<nav>
  <button data-tab="single" class="active">单核排行</button>
  <button data-tab="multi">多核排行</button>
  <button data-tab="disk">硬盘排行</button>
</nav>
<main>
  <section id="single" class="active"><div class="scroll"><table>
    <thead><tr><th class="rank">#</th><th>处理器</th><th class="num">单核跑分</th><th class="num">多核总分</th>
      <th class="num">逻辑核数</th><th class="wide">主板</th><th class="wide">系统</th><th class="wide">时间</th></tr></thead>
    <tbody></tbody></table></div></section>
  <section id="multi"><div class="scroll"><table>
    <thead><tr><th class="rank">#</th><th>处理器</th><th class="num">多核总分</th><th class="num">单核跑分</th>
      <th class="num">逻辑核数</th><th class="wide">主板</th><th class="wide">系统</th><th class="wide">时间</th></tr></thead>
    <tbody></tbody></table></div></section>
  <section id="disk"><div class="scroll"><table>
    <thead><tr><th class="rank">#</th><th>硬盘</th><th class="num">得分</th><th class="num">顺序读</th>
      <th class="num">顺序写</th><th class="num">4K读</th><th class="num">4K写</th><th class="num wide">4K多线程读</th>
      <th class="num wide">4K多线程写</th><th class="wide">模式</th><th class="wide">时间</th></tr></thead>
    <tbody></tbody></table></div></section>
  <p class="note">CPU得分：每个考试在规定时间内每秒完成的试卷块数 × 100；多核总分为各核心得分之和。
    硬盘得分：0.25×(缓存写+无缓存顺序写) + 0.5×顺序读 + 8×4K写 + 10×4K读 + 1×4K多线程写 + 1.5×4K多线程读（MB/s）。</p>
</main>
<script>
"use strict";
var PREFILL = ["缺省20G", "预占50%", "预占90%", "跑圈"];
function when(t) {
  var d = new Date(t * 1000);
  function two(n) { return (n < 10 ? "0" : "") + n; }
  return d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate()) + " " + two(d.getHours()) + ":" + two(d.getMinutes());
}
function mb(v) { return Number(v).toFixed(2); }
function fill(id, rows, cells) {
  var body = document.querySelector("#" + id + " tbody");
  body.textContent = "";
  if (!rows.length) {
    var tr = document.createElement("tr"), td = document.createElement("td");
    td.colSpan = 11; td.className = "empty"; td.textContent = "暂无成绩";
    tr.appendChild(td); body.appendChild(tr); return;
  }
  rows.forEach(function (row, i) {
    var tr = document.createElement("tr");
    [[String(i + 1), "rank"]].concat(cells(row)).forEach(function (c) {
      var td = document.createElement("td");
      td.textContent = c[0];
      if (c[1]) td.className = c[1];
      tr.appendChild(td);
    });
    body.appendChild(tr);
  });
}
function cpuCells(first) {
  return function (r) {
    var a = [String(r.singlecore), "num"], b = [String(r.multicore), "num"];
    return [[r.socname || "未知处理器", "name"], first === "single" ? a : b, first === "single" ? b : a,
            [String(r.cores), "num"], [r.platform, "wide"], [r.os, "wide"], [when(r.runtime), "wide"]];
  };
}
function diskCells(r) {
  return [[r.diskname || "未知硬盘", "name"], [String(r.score), "num"], [mb(r.linerread), "num"],
          [mb(r.linernobufferwrite), "num"], [mb(r.fourkread), "num"], [mb(r.fourkwrite), "num"],
          [mb(r.mtfourkread), "num wide"], [mb(r.mtfourkwrite), "num wide"],
          [PREFILL[r.prefill] || String(r.prefill), "wide"], [when(r.runtime), "wide"]];
}
function load(url) {
  return fetch(url, { cache: "no-store" }).then(function (r) {
    if (!r.ok) throw new Error(url + " " + r.status);
    return r.json();
  });
}
Promise.all([load("cpu.json"), load("disk.json")]).then(function (data) {
  fill("single", data[0].single || [], cpuCells("single"));
  fill("multi", data[0].multi || [], cpuCells("multi"));
  fill("disk", data[1].disk || [], diskCells);
  document.getElementById("updated").textContent = "更新于 " + when(Date.now() / 1000);
}).catch(function (e) {
  document.getElementById("updated").textContent = "加载失败：" + e.message;
});
document.querySelectorAll("nav button").forEach(function (b) {
  b.addEventListener("click", function () {
    document.querySelectorAll("nav button, section").forEach(function (x) { x.classList.remove("active"); });
    b.classList.add("active");
    document.getElementById(b.dataset.tab).classList.add("active");
  });
});
</script>
</body>
</html>
)html";
  return page;
}

}  // namespace sorvanta::server
