// Checks quorvel-ledger's checkpoint notes, keys and proofs against an
// independent implementation of the same formats: golang.org/x/mod/sumdb/note
// (signed notes, Ed25519 keys) and golang.org/x/mod/sumdb/tlog (RFC 6962 trees
// and proofs).
//
//	go run tlog_interop.go QUORVEL_LEDGER LEDGER WORK_DIR
//
// LEDGER is an intact ledger; its every prefix of entry lines is checkpointed
// and compared. The files of the run go to a new directory in WORK_DIR,
// removed at the end. Exits 0 when everything agrees, 1 with the disagreements.
package main

import (
	"bytes"
	"crypto/rand"
	"crypto/sha256"
	"encoding/base64"
	"encoding/json"
	"fmt"
	"os"
	"os/exec"
	"path/filepath"
	"strconv"
	"strings"

	"golang.org/x/mod/sumdb/note"
	"golang.org/x/mod/sumdb/tlog"
)

var (
	tool     string
	scratch  string
	failures int
)

func failf(format string, args ...interface{}) {
	failures++
	fmt.Fprintf(os.Stderr, "FAIL: "+format+"\n", args...)
}

func must(err error) {
	if err != nil {
		fmt.Fprintln(os.Stderr, "fatal:", err)
		os.Exit(2)
	}
}

// run runs the tool and returns its standard output and exit status.
func run(args ...string) (string, int) {
	cmd := exec.Command(tool, args...)
	var stdout, stderr bytes.Buffer
	cmd.Stdout, cmd.Stderr = &stdout, &stderr
	err := cmd.Run()
	code := 0
	if exit, ok := err.(*exec.ExitError); ok {
		code = exit.ExitCode()
	} else if err != nil {
		must(err)
	}
	if code == 2 {
		fmt.Fprintf(os.Stderr, "  (%s %s: exit %d: %s)\n", filepath.Base(tool), strings.Join(args, " "), code, strings.TrimSpace(stderr.String()))
	}
	return stdout.String(), code
}

func write(name, text string) string {
	path := filepath.Join(scratch, name)
	must(os.WriteFile(path, []byte(text), 0o600))
	return path
}

// The body of a checkpoint note: origin, size, root.
func parseBody(text string) (origin string, size int64, root tlog.Hash) {
	lines := strings.Split(text, "\n")
	if len(lines) < 4 {
		failf("checkpoint note too short: %q", text)
		return
	}
	size, err := strconv.ParseInt(lines[1], 10, 64)
	if err != nil {
		failf("tree size line %q: %v", lines[1], err)
	}
	root, err = tlog.ParseHash(lines[2])
	if err != nil {
		failf("root hash line %q: %v", lines[2], err)
	}
	return lines[0], size, root
}

type proofJSON struct {
	Type     string   `json:"type"`
	Index    int64    `json:"index"`
	TreeSize int64    `json:"tree_size"`
	LeafHash string   `json:"leaf_hash"`
	Hashes   []string `json:"hashes"`
	Line     string   `json:"line"`
	OldSize  int64    `json:"old_size"`
	NewSize  int64    `json:"new_size"`
}

func hashes(texts []string) []tlog.Hash {
	out := make([]tlog.Hash, len(texts))
	for i, t := range texts {
		h, err := tlog.ParseHash(t)
		if err != nil {
			failf("proof hash %q: %v", t, err)
		}
		out[i] = h
	}
	return out
}

func encode(hs []tlog.Hash) []string {
	out := make([]string, len(hs))
	for i, h := range hs {
		out[i] = base64.StdEncoding.EncodeToString(h[:])
	}
	return out
}

func main() {
	if len(os.Args) != 4 {
		fmt.Fprintln(os.Stderr, "usage: go run tlog_interop.go QUORVEL_LEDGER LEDGER WORK_DIR")
		os.Exit(2)
	}
	tool = os.Args[1]
	data, err := os.ReadFile(os.Args[2])
	must(err)
	scratch, err = os.MkdirTemp(os.Args[3], "tlog-interop-")
	must(err)
	code := check(data)
	os.RemoveAll(scratch)
	os.Exit(code)
}

func check(data []byte) int {
	// The leaves: the entry lines, blank lines left out.
	lines := strings.SplitAfter(string(data), "\n")
	var leaves []string     // entry lines, without line feeds
	var prefixes []string   // prefixes[n]: the file up to and including the n-th entry line
	prefixes = append(prefixes, "")
	text := ""
	for _, l := range lines {
		text += l
		if strings.TrimSpace(l) != "" {
			leaves = append(leaves, strings.TrimSuffix(l, "\n"))
			prefixes = append(prefixes, text)
		}
	}
	var stored []tlog.Hash
	reader := tlog.HashReaderFunc(func(indexes []int64) ([]tlog.Hash, error) {
		out := make([]tlog.Hash, len(indexes))
		for i, x := range indexes {
			out[i] = stored[x]
		}
		return out, nil
	})
	for i, l := range leaves {
		hs, err := tlog.StoredHashes(int64(i), []byte(l), reader)
		must(err)
		stored = append(stored, hs...)
	}

	// Keys: one made by the tool, one by the note package.
	toolKey, toolPub := filepath.Join(scratch, "tool.key"), filepath.Join(scratch, "tool.pub")
	if _, code := run("keygen", "--name", "tool.example/witness", "--key", toolKey, "--pub", toolPub); code != 0 {
		failf("keygen failed")
	}
	pubText, err := os.ReadFile(toolPub)
	must(err)
	toolVerifier, err := note.NewVerifier(strings.TrimSpace(string(pubText)))
	if err != nil {
		failf("note.NewVerifier refuses the tool's verifier key: %v", err)
	}
	keyText, err := os.ReadFile(toolKey)
	must(err)
	if _, err := note.NewSigner(strings.TrimSpace(string(keyText))); err != nil {
		failf("note.NewSigner refuses the tool's signer key: %v", err)
	}
	goSkey, goVkey, err := note.GenerateKey(rand.Reader, "go.example/log")
	must(err)
	goSigner, err := note.NewSigner(goSkey)
	must(err)
	goVerifier, err := note.NewVerifier(goVkey)
	must(err)
	goKey, goPub := write("go.key", goSkey+"\n"), write("go.pub", goVkey+"\n")

	// Every prefix: the root, the signatures, and proofs.
	checkpoints := make([]string, len(prefixes))
	roots := make([]tlog.Hash, len(prefixes))
	for n := range prefixes {
		ledger := write(fmt.Sprintf("ledger-%d.jsonl", n), prefixes[n])
		args := []string{"checkpoint", "--key", toolKey}
		if n == 0 {
			args = append(args, "--origin", "tool.example/empty")
		}
		out, code := run(append(args, ledger)...)
		if code != 0 {
			failf("checkpoint of %d entries failed", n)
			continue
		}
		opened, err := note.Open([]byte(out), note.VerifierList(toolVerifier))
		if err != nil {
			failf("note.Open of the tool's signed checkpoint of %d entries: %v", n, err)
			continue
		}
		_, size, root := parseBody(opened.Text)
		want, err := tlog.TreeHash(int64(n), reader)
		must(err)
		if n == 0 {
			// tlog gives the tree of no records the zero hash; RFC 6962
			// (and the tool) hash it as SHA-256 of nothing.
			want = sha256.Sum256(nil)
		}
		if size != int64(n) || root != want {
			failf("checkpoint of %d entries: size %d root %v, tlog.TreeHash gives %v", n, size, root, want)
		}
		checkpoints[n] = write(fmt.Sprintf("cp-%d", n), out)
		roots[n] = root

		// The same body signed by the note package verifies with the tool.
		goSigned, err := note.Sign(&note.Note{Text: opened.Text}, goSigner)
		must(err)
		goCp := write(fmt.Sprintf("go-cp-%d", n), string(goSigned))
		if _, code := run("verify", "--since", goCp, "--pub", goPub, ledger); code != 0 {
			failf("verify --since a note signed by note.Sign (%d entries): exit %d", n, code)
		}
		if _, code := run("verify", "--since", goCp, "--pub", toolPub, ledger); code != 1 {
			failf("verify --since with another key's signature (%d entries): exit %d, want 1", n, code)
		}
		// A key made by note.GenerateKey signs with the tool.
		args[2] = goKey
		if signed, code := run(append(args, ledger)...); code != 0 {
			failf("checkpoint --key with a key of note.GenerateKey (%d entries): exit %d", n, code)
		} else if opened, err := note.Open([]byte(signed), note.VerifierList(goVerifier)); err != nil || opened.Text != string(goSigned[:len(opened.Text)]) {
			failf("note.Open of a checkpoint signed with a key of note.GenerateKey (%d entries): %v", n, err)
		}
	}

	for n := 1; n < len(prefixes); n++ {
		if checkpoints[n] == "" {
			continue
		}
		ledger := filepath.Join(scratch, fmt.Sprintf("ledger-%d.jsonl", len(prefixes)-1))
		for i := 0; i < n; i++ {
			out, code := run("prove", "--entry", strconv.Itoa(i), "--checkpoint", checkpoints[n], ledger)
			var p proofJSON
			if code != 0 || json.Unmarshal([]byte(out), &p) != nil {
				failf("prove --entry %d in %d: exit %d, %q", i, n, code, out)
				continue
			}
			leaf := tlog.RecordHash([]byte(leaves[i]))
			if p.Type != "inclusion" || p.Index != int64(i) || p.TreeSize != int64(n) || p.LeafHash != leaf.String() || p.Line != leaves[i] {
				failf("prove --entry %d in %d: %q", i, n, out)
			}
			if err := tlog.CheckRecord(hashes(p.Hashes), int64(n), roots[n], int64(i), leaf); err != nil {
				failf("tlog.CheckRecord of entry %d in %d: %v", i, n, err)
			}
			// A proof made by tlog is accepted by check-proof.
			goProof, err := tlog.ProveRecord(int64(n), int64(i), reader)
			must(err)
			js, _ := json.Marshal(map[string]interface{}{"type": "inclusion", "index": i, "tree_size": n,
				"leaf_hash": leaf.String(), "hashes": encode(goProof), "line": leaves[i]})
			if _, code := run("check-proof", write("go-proof", string(js)), "--checkpoint", checkpoints[n], "--pub", toolPub); code != 0 {
				failf("check-proof of tlog.ProveRecord(%d, %d): exit %d", n, i, code)
			}
		}
		for m := 1; m <= n; m++ {
			out, code := run("prove", "--from", checkpoints[m], "--checkpoint", checkpoints[n], ledger)
			var p proofJSON
			if code != 0 || json.Unmarshal([]byte(out), &p) != nil {
				failf("prove --from %d --checkpoint %d: exit %d, %q", m, n, code, out)
				continue
			}
			if p.Type != "consistency" || p.OldSize != int64(m) || p.NewSize != int64(n) {
				failf("prove --from %d --checkpoint %d: %q", m, n, out)
			}
			if err := tlog.CheckTree(hashes(p.Hashes), int64(n), roots[n], int64(m), roots[m]); err != nil {
				failf("tlog.CheckTree from %d to %d: %v", m, n, err)
			}
			goProof, err := tlog.ProveTree(int64(n), int64(m), reader)
			must(err)
			js, _ := json.Marshal(map[string]interface{}{"type": "consistency", "old_size": m, "new_size": n,
				"hashes": encode(goProof)})
			if _, code := run("check-proof", write("go-proof", string(js)), "--checkpoint", checkpoints[n], "--from", checkpoints[m]); code != 0 {
				failf("check-proof of tlog.ProveTree(%d, %d): exit %d", n, m, code)
			}
		}
	}
	if failures > 0 {
		fmt.Printf("%d disagreements with golang.org/x/mod/sumdb\n", failures)
		return 1
	}
	fmt.Printf("%d checkpoints agree with golang.org/x/mod/sumdb (notes, keys, roots, proofs)\n", len(prefixes))
	return 0
}
