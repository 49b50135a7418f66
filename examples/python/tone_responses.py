"""The average evoked response to each tone frequency of the demo's recording.

Reads the trials of every tone of the epoc store "Freq" on one channel of the
stream "Wav1" and draws, per frequency, the average response (the field
potential: 1 ms means, less the mean before the tone) with its standard error,
and below it the firing rate of that channel's sorted spikes (store "Snip")
around the tones, into a PNG.

    ORVO_REGISTRY=build-demo/registry.db python3 examples/python/tone_responses.py
"""

import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import orvo  # noqa: E402

BEFORE, AFTER = 0.1, 0.6  # seconds around each tone onset
STEP = 0.001              # seconds per point of the averaged responses
BIN = 0.02                # seconds, of the firing rates


def field_potential(trials):
    """Each trial as STEP-long means in µV, less its mean before the onset."""
    per_step = max(1, round(STEP * trials.rate))
    steps = trials.data.shape[1] // per_step
    means = trials.data[:, :steps * per_step].reshape(len(trials.data), steps, per_step).mean(axis=2) * 1e6
    times = trials.start + (np.arange(steps) + 0.5) * per_step / trials.rate
    return times, means - means[:, times < 0].mean(axis=1, keepdims=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tank", default="OrvoDemo", help="registered name or folder (default: %(default)s)")
    parser.add_argument("--block", help="block name (default: the latest)")
    parser.add_argument("--channel", type=int, default=1, help="channel (default: %(default)s)")
    parser.add_argument("-o", "--output", default="tone_responses.png", help="picture (default: %(default)s)")
    args = parser.parse_args()

    with orvo.open_tank(args.tank) as tank:
        block = tank.block(args.block) if args.block else tank.blocks[-1]
        epocs = block.epocs("Freq")
        tones = np.unique(epocs["value"])
        tone_length = float(np.nanmedian(epocs["offset"] - epocs["onset"]))
        spikes = block.events("Snip")
        spikes = spikes[spikes["channel"] == args.channel]["time"]

        edges = np.arange(-BEFORE, AFTER + BIN / 2, BIN)
        responses, rates = [], []
        for tone in tones:
            trials = block.trials("Wav1", f"Freq = {tone:g}", channel=args.channel, window=(-BEFORE, AFTER))
            times, potentials = field_potential(trials)
            responses.append((tone, potentials))
            relative = np.concatenate([spikes - onset for onset in trials.onsets])
            rates.append(np.histogram(relative, edges)[0] / (len(trials.onsets) * BIN))
        title = f"{tank.name}, {block.name}, channel {args.channel}: responses to tones, by frequency"

    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 8), sharex=True,
                                         gridspec_kw={"height_ratios": [3, 1.3]})
    colours = plt.cm.viridis(np.linspace(0.0, 0.85, len(tones)))
    spacing = 1.1 * max(np.ptp(p.mean(axis=0)) for _, p in responses)
    ms = times * 1e3
    for row, ((tone, potentials), colour) in enumerate(zip(responses, colours)):
        level = (len(responses) - 1 - row) * spacing
        mean = potentials.mean(axis=0)
        spread = potentials.std(axis=0, ddof=1) / np.sqrt(len(potentials))
        top.axhline(level, color="0.8", linewidth=0.6)
        top.fill_between(ms, level + mean - spread, level + mean + spread, color=colour, alpha=0.25, linewidth=0)
        top.plot(ms, level + mean, color=colour, linewidth=1.4)
        top.text(AFTER * 1e3 + 8, level, f"{tone:g} Hz\n{len(potentials)} trials", color=colour,
                 va="center", fontsize="small")
    # A scale bar stands in for the y axis, the traces being stacked.
    decade = 10 ** np.floor(np.log10(spacing / 2))
    bar = decade * (5 if spacing / 2 >= 5 * decade else 1)
    x = -BEFORE * 1e3 + 8
    top.plot([x, x], [-spacing / 2, -spacing / 2 + bar], color="black", linewidth=2)
    top.text(x + 5, -spacing / 2 + bar / 2, f"{bar:g} µV", va="center", fontsize="small")
    top.set_yticks([])
    top.set_ylim(-spacing * 0.65, (len(responses) - 0.35) * spacing)
    top.set_ylabel("Wav1, mean ± s.e.m. per tone")
    top.set_title(title)

    # Tones top down, as the traces above.
    image = bottom.imshow(np.array(rates), aspect="auto", origin="upper", cmap="magma", interpolation="nearest",
                          extent=[-BEFORE * 1e3, AFTER * 1e3, len(tones) - 0.5, -0.5])
    bottom.set_yticks(range(len(tones)), [f"{tone:g} Hz" for tone in tones])
    bottom.set_ylabel("tone")
    bottom.set_xlabel("time from tone onset (ms)")
    figure.colorbar(image, ax=[top, bottom], location="bottom", shrink=0.5, pad=0.09, aspect=40,
                    label=f"sorted spikes of channel {args.channel} (Snip), spikes/s in {BIN * 1e3:g} ms bins")
    for axes in (top, bottom):
        axes.axvline(0, color="0.5", linewidth=0.8, linestyle="--")
        axes.axvline(tone_length * 1e3, color="0.5", linewidth=0.8, linestyle="--")
    top.axvspan(0, tone_length * 1e3, color="0.94", zorder=0)
    for at, text in ((0.0, " tone on"), (tone_length * 1e3, " tone off")):
        top.text(at, 0.99, text, transform=top.get_xaxis_transform(), va="top", color="0.4", fontsize="small")
    bottom.set_xlim(-BEFORE * 1e3, AFTER * 1e3)
    figure.savefig(args.output, dpi=120, bbox_inches="tight")
    print(args.output)


if __name__ == "__main__":
    main()
